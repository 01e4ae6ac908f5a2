# shellcheck shell=sh
# policy.sh: a watch policy for a tree of a test's own, for the shell
# tests. Sourced.
#
#   tree_policy TREE    prints it: the whole of TREE, and nothing else

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
	printf '@NO:%s\n+F:I\n' "$1"
}
