# shellcheck shell=sh disable=SC2154 # work and script come from the caller
# sshd.sh: an sshd of a test's own on 127.0.0.1 at a free high port, and
# hosts behind it as aliases of one ssh configuration, each with a key of
# its own whose forced command is kavnightly -s on a settings file of its
# own. Sourced by kavcollect's test and benchmark, which set work (a
# directory of their own) and script (kavnightly), define skip() and have
# sourced step.sh.
#
# sshd runs a forced command through the account's shell, and bash, seeing
# itself started by sshd at the top level, first reads the account's
# ~/.bashrc: the machine's own file, which may take seconds a session and
# would then be what the collector's test and benchmark measure. SHLVL=1
# tells bash it is not at the top level.
#
#   sshd_start             starts it: port and sshd_pid set, or skip called
#   sshd_host NAME CONF    a host alias NAME served from settings CONF
#   sshd_down NAME         a host alias NAME at a port nobody listens on
#   sshd_stop              stops it (idempotent: for a trap)

SSHD=/usr/sbin/sshd

sshd_start() {
	[ -x "$SSHD" ] || skip "$SSHD is not installed"
	step "make the host key" ssh-keygen -q -t ed25519 -N '' -C host \
	    -f "$work/host_key"
	: >"$work/authorized_keys"
	i=0
	while [ "$i" -lt 10 ]; do
		i=$((i + 1))
		port=$(($(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 30000 + 30000))
		cat >"$work/sshd_config" <<-EOF
		ListenAddress 127.0.0.1
		Port $port
		HostKey $work/host_key
		PidFile $work/sshd.pid
		AuthorizedKeysFile $work/authorized_keys
		StrictModes no
		UsePAM no
		PasswordAuthentication no
		KbdInteractiveAuthentication no
		PubkeyAuthentication yes
		PermitRootLogin prohibit-password
		AllowTcpForwarding no
		X11Forwarding no
		MaxStartups 100:30:200
		SetEnv SHLVL=1
		LogLevel ERROR
		EOF
		rm -f "$work/sshd.pid"
		if [ "$(id -u)" -eq 0 ] && ! [ -d /run/sshd ]; then
			# sshd as root wants /run/sshd, which only the service
			# makes: a /run of its own, in a mount namespace.
			command -v unshare >/dev/null 2>&1 ||
			    skip "sshd needs /run/sshd, and unshare(1) is missing"
			# shellcheck disable=SC2016 # "$0" and "$1" are the inner shell's
			unshare -m sh -c 'mount -t tmpfs -o mode=0755 kavtest /run &&
			    mkdir -m 0755 /run/sshd && exec "$0" -D -e -f "$1"' \
			    "$SSHD" "$work/sshd_config" 2>"$work/sshd.log" &
		else
			"$SSHD" -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
		fi
		sshd_pid=$!
		t=0
		while [ "$t" -lt 100 ] && ! [ -s "$work/sshd.pid" ] &&
		    kill -0 "$sshd_pid" 2>/dev/null; do
			sleep 0.1
			t=$((t + 1))
		done
		if [ -s "$work/sshd.pid" ]; then
			printf '[127.0.0.1]:%s %s\n' "$port" \
			    "$(cut -d' ' -f1,2 "$work/host_key.pub")" \
			    >"$work/known_hosts"
			printf 'Host *\n\tUserKnownHostsFile "%s"\n' \
			    "$work/known_hosts" >"$work/ssh_config.tail"
			printf '\tStrictHostKeyChecking yes\n' >>"$work/ssh_config.tail"
			printf '\tGlobalKnownHostsFile /dev/null\n' \
			    >>"$work/ssh_config.tail"
			: >"$work/ssh_config.hosts"
			cat "$work/ssh_config.tail" >"$work/ssh_config"
			return 0
		fi
		kill "$sshd_pid" 2>/dev/null
		wait "$sshd_pid" 2>/dev/null
		sshd_pid=
		grep -q 'Address already in use' "$work/sshd.log" || break
	done
	skip "sshd does not start here: $(cat "$work/sshd.log")"
}

# Host entries come before the "Host *" defaults: ssh takes the first
# value it finds.
sshd_alias() {
	{
		printf 'Host %s\n\tHostName 127.0.0.1\n\tPort %s\n' "$1" "$2"
		printf '\tUser %s\n\tIdentityFile "%s"\n' "$(id -un)" "$work/$1.key"
		printf '\tIdentitiesOnly yes\n'
	} >>"$work/ssh_config.hosts"
	cat "$work/ssh_config.hosts" "$work/ssh_config.tail" >"$work/ssh_config"
}

sshd_host() {
	step "make the key of $1" ssh-keygen -q -t ed25519 -N '' -C "$1" \
	    -f "$work/$1.key"
	printf 'command="%s -s -f %s",restrict %s\n' "'$script'" "'$2'" \
	    "$(cat "$work/$1.key.pub")" >>"$work/authorized_keys"
	sshd_alias "$1" "$port"
}

sshd_down() {
	step "make the key of $1" ssh-keygen -q -t ed25519 -N '' -C "$1" \
	    -f "$work/$1.key"
	sshd_alias "$1" $((port + 1))
}

sshd_stop() {
	if [ -s "$work/sshd.pid" ]; then
		kill "$(cat "$work/sshd.pid")" 2>/dev/null
	fi
	if [ -n "${sshd_pid-}" ]; then
		kill "$sshd_pid" 2>/dev/null
	fi
	sshd_pid=
}
