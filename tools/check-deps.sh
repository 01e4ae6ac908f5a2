#!/bin/sh
# Finds the Debian packages that supply what the build is missing. Run as
# root where apt-get is available, it installs them; otherwise it stops the
# build, naming the command to run.
#
#   check-deps.sh          what building needs (make, make demo, ...)
#   check-deps.sh check    that and what make check needs besides

# One row per need: when it is needed (build or check), what shows it is
# there (a command, or a file by its absolute path; a|b means either will
# do), and the package that supplies it.
NEEDS='
build cmake                                           cmake
build c++|g++                                         g++
build make                                            make
build /usr/include/openssl/evp.h                      libssl-dev
build /usr/include/archive.h                          libarchive-dev
build /usr/include/zstd.h                             libzstd-dev
check dpkg-deb                                        dpkg
check dpkg-scanpackages                               dpkg-dev
check apt-ftparchive                                  apt-utils
check gpg                                             gpg
check gpgv                                            gpgv
check gpg-agent                                       gpg-agent
build /usr/include/sys/capability.h                   libcap-dev
build /usr/include/acl/libacl.h                       libacl1-dev
check /usr/include/gtest/gtest.h|/usr/local/include/gtest/gtest.h libgtest-dev
check setfattr                                        attr
check setfacl                                         acl
check setcap|/usr/sbin/setcap|/sbin/setcap            libcap2-bin
check mandoc                                          mandoc
check ssh-keygen                                      openssh-client
check flock                                           util-linux
check /usr/sbin/sshd                                  openssh-server
check /usr/include/nlohmann/json.hpp                  nlohmann-json3-dev
check dpkg-buildpackage                               dpkg-dev
check dh                                              debhelper
check lintian                                         lintian
check shellcheck                                      shellcheck
'

# True when one of the |-separated commands or files is there.
present() {
	rest=$1
	while [ -n "$rest" ]; do
		what=${rest%%|*}
		case $rest in
		*'|'*) rest=${rest#*|} ;;
		*) rest= ;;
		esac
		case $what in
		/*) [ -e "$what" ] && return 0 ;;
		*) command -v "$what" >/dev/null 2>&1 && return 0 ;;
		esac
	done
	return 1
}

missing=""
while read -r when what package; do
	case $when in
	build) ;;
	check) [ "${1-}" = check ] || continue ;;
	*) continue ;;
	esac
	present "$what" || missing="$missing $package"
done <<EOF
$NEEDS
EOF
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
	echo "kavrel: installing missing packages:$missing" >&2
	export DEBIAN_FRONTEND=noninteractive
	# A fresh system has no package lists yet, and old ones may name
	# versions the mirror no longer has: fetch them and try again.
	if ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
		apt-get update -q || exit 1
	fi
	# shellcheck disable=SC2086 # one word per package
	apt-get install -y -q $missing || {
		apt-get update -q && apt-get install -y -q $missing
	} || exit 1
	exit 0
fi
echo "kavrel: missing build tools; install them with:" >&2
echo "    apt-get install$missing" >&2
exit 1
