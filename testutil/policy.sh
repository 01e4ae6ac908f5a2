# shellcheck shell=sh
# policy.sh: a watch policy for a tree of a test's own, for the shell
# tests. Sourced.
#
#   tree_policy TREE [LETTERS]
#       prints it: the whole of TREE, and nothing else, with the attribute
#       letters LETTERS (F unless given)

# kavbuild walks from "/": each ancestor of the tree lets it through the
# next name only and prunes everything else.
tree_policy() {
	dir=/
	rest=${1#/}
	while [ -n "$rest" ]; do
		name=${rest%%/*}
		printf '@NO:%s\n+N\nname:%s\n+N:S\n' "$dir" "$name"
		case $rest in */*) rest=${rest#*/} ;; *) rest= ;; esac
		dir=${dir%/}/$name
	done
	printf '@NO:%s\n+%s:I\n' "$1" "${2-F}"
}
