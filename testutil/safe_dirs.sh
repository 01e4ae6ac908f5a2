# shellcheck shell=sh
# safe_dirs.sh: where a test may put files that kavnightly trusts. Sourced.
#
#   safe_dirs DIR
#       status 0 when DIR and every directory above it are safe from other
#       users, as kavnightly wants the directories above its files: owned
#       by root or by the user running it and writable by nobody else, or
#       sticky and root's (as /tmp)

safe_dirs() {
	sd_dir=$(cd "$1" && pwd -P) || return 1
	sd_me=$(id -u)
	while :; do
		sd_info=$(stat -c '%u %a' "$sd_dir") || return 1
		sd_uid=${sd_info% *}
		case ${sd_info#* } in
		1???) [ "$sd_uid" -eq 0 ] || return 1 ;;
		*[2367]? | *[2367]) return 1 ;;
		*) [ "$sd_uid" -eq 0 ] || [ "$sd_uid" -eq "$sd_me" ] || return 1 ;;
		esac
		[ "$sd_dir" != / ] || return 0
		sd_dir=${sd_dir%/*}
		sd_dir=${sd_dir:-/}
	done
}
