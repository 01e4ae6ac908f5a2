#!/bin/sh
# make demo: snapshots /usr/bin and /usr/sbin and shows a few records, then
# snapshots a small sandbox tree before and after some changes and shows
# what kavcmp finds. Everything it writes stays in build/demo/.
set -eu
cd "$(dirname "$0")/.."
bin=$(pwd)/build
demo=$bin/demo
rm -rf "$demo"
mkdir -p "$demo"

say() { printf '\n==> %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "Snapshot of /usr/bin and /usr/sbin (policy etc/demo-usr.conf)"
run "$bin/kavbuild" -c etc/demo-usr.conf -d "$demo/usr.db"
printf '%s records\n' "$("$bin/kavshow" -p "$demo/usr.db" | grep -c '^?')"
say "A few of its records"
run "$bin/kavshow" -x -D /usr/bin "$demo/usr.db"
run "$bin/kavshow" -x -D /usr/bin/sh "$demo/usr.db"
run "$bin/kavshow" -p -d /usr/sbin/ "$demo/usr.db" | head -6

# The sandbox policy: one list per directory on the way from / to the
# sandbox, each letting the walk through the next name only.
box=$demo/sandbox
mkdir -p "$box/etc" "$box/bin" "$box/data"
policy=$demo/sandbox.conf
: >"$policy"
dir=/
rest=${box#/}
while [ -n "$rest" ]; do
  name=${rest%%/*}
  printf '@NO:%s\n+N\nname:%s\n+N:S\n' "$dir" "$name" >>"$policy"
  case $rest in */*) rest=${rest#*/} ;; *) rest= ;; esac
  dir=${dir%/}/$name
done
sed "s|@SANDBOX@|$box|g" etc/demo-sandbox.conf >>"$policy"

printf 'listen 8080\n' >"$box/etc/app.conf"
printf '#!/bin/sh\necho hello\n' >"$box/bin/tool"
chmod 755 "$box/bin/tool"
printf 'first notes\n' >"$box/data/notes.txt"
printf 'old entries\n' >"$box/data/old.txt"
printf 'started\n' >"$box/data/app.log"
ln -s ../etc/app.conf "$box/bin/app.conf"

say "Snapshot of the sandbox $box"
run "$bin/kavbuild" -c "$policy" -d "$demo/before.db"
run "$bin/kavshow" -p "$demo/before.db"

say "Changing it: new contents, a new mode, a new file, a removed file"
run sh -c "printf 'listen 9090\n' >'$box/etc/app.conf'"
run chmod 600 "$box/data/notes.txt"
run sh -c "printf 'fresh\n' >'$box/data/new.txt'"
run rm "$box/data/old.txt"
run sh -c "printf 'restarted\n' >>'$box/data/app.log'"

say "Second snapshot and the differences"
run "$bin/kavbuild" -c "$policy" -d "$demo/after.db"
run "$bin/kavcmp" -x "$demo/before.db" "$demo/after.db"
say "Done; the databases are in $demo"
