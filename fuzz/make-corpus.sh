#!/usr/bin/env bash
# Writes the seed corpus: real frames and files of the kinds each fuzz target reads.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here"
# Only the folders written here are made anew; the others' seeds (certificates, chat lines) are
# kept as they are.
rm -rf corpus/packet_extraction corpus/frame_receive corpus/server_input corpus/operator_command \
    corpus/ban_file corpus/room_entry
mkdir -p corpus/packet_extraction corpus/frame_receive corpus/settings_file corpus/server_input \
    corpus/operator_command corpus/ban_file corpus/room_entry

# text_packet TYPE TEXT: a packet (type field and payload) carrying one text.
text_packet() {
    local length=${#2}
    printf "\\x00\\x$(printf %02x "$1")\\x00\\x00\\x$(printf %02x $((length >> 8)))\\x$(printf %02x $((length & 255)))%s" "$2"
}
# frame BYTES...: a packet read from stdin with its 2-byte length in front.
frame() {
    local packet
    packet=$(mktemp)
    cat > "$packet"
    local size
    size=$(stat -c %s "$packet")
    printf "\\x$(printf %02x $((size >> 8)))\\x$(printf %02x $((size & 255)))"
    cat "$packet"
    rm -f "$packet"
}

chat='[12:00:01] [Alice]: hi'
text_packet 1 "$chat" > corpus/packet_extraction/chat-message
text_packet 6 $'Alice\r\nBob' > corpus/packet_extraction/users-online
text_packet 5 'abc' > corpus/packet_extraction/nickname
printf '\x00\x04' > corpus/packet_extraction/new-user
printf '\x00\x02\x00\x00\x00\x02\x00\x00\x00\x07\x00\x00\x00\x09' > corpus/packet_extraction/integer-array
printf '\x00\x01\x00\x00\x00\x09abc' > corpus/packet_extraction/text-past-its-end

{
    text_packet 1 "$chat" | frame
    text_packet 6 $'Alice\r\nBob' | frame
    printf '\x00\x04' | frame
} > corpus/frame_receive/three-frames
printf '\x00\x02\x00\x02\x00\x00\x00\x02\x00\x00\x00\x07\x00\x00\x00\x09' | frame > corpus/frame_receive/integer-array
printf '\x20\x01\x00\x01' > corpus/frame_receive/too-large
printf '\x00\x01\x00' > corpus/frame_receive/too-small

printf 'server=127.0.0.1\nnickname=Alice\n' > corpus/settings_file/both-keys
printf 'nickname=a\nnickname=b\n\nnickname = c' > corpus/settings_file/repeated-no-final-break
printf 'a=b=c\nplain line\n' > corpus/settings_file/odd-lines

{
    text_packet 5 'Alice' | frame
    text_packet 1 "$chat" | frame
} > corpus/server_input/join-and-say
{
    text_packet 5 'Bob' | frame
    text_packet 1 '[12:00:02] [Alice]: not me' | frame
    text_packet 5 'ALICE' | frame
} > corpus/server_input/impersonate
printf '\x00\x02\x00\x07' > corpus/server_input/unknown-type

# The operator's commands: command lines, each ended by a backslash and a line break as the
# fuzzer's reader of strings takes them; at the end, zeros for the numbers it draws from there.
zeros='\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
printf 'who\\\nkick Bob the Builder too loud\\\n'"$zeros" > corpus/operator_command/who-and-kick
printf 'ban 192.0.2.0/24 30m raid\\\nbans\\\nunban 192.0.2.0/24\\\n'"$zeros" > corpus/operator_command/ban-and-unban
printf 'say hello\\\nban "alice" 500000w far too long\\\nhelp\\\n'"$zeros" > corpus/operator_command/say-and-ban-a-member
printf 'kick alice bye\x1b[2K\x08\x08\\\n'"$zeros" > corpus/operator_command/control-characters

# Ban files: the server's own, and one an operator wrote by hand with what the reader mends; the
# time of reading (zero: 1970) is drawn from the end.
printf '# Bans of ostrel-server\n192.0.2.0/24 - the office\n203.0.113.7 2027-01-15T09:00:00Z spam, spam\n2001:db8::/48 -\n\x00\x00\x00\x00\x00' > corpus/ban_file/written
printf '198.51.100.4\t-\tescape \x1b[2K\r\nbob - not an address\n198.51.100.1 yesterday bad time\n2001:db8::7 9999-12-31T23:59:59Z the last second\n\x00\x00\x00\x00\x00' > corpus/ban_file/by-hand

# Entries of a room's stream in Redis, one a line: field, value, ... separated by tabs; the
# event's own fields packed in "e", separated by 0x1F.
head='v\t1\te\torigin=there\x1frun=r1'
member='node=there\x1fid=7\x1fname=Carol'
printf "$head\x1fnumber=1\x1fkind=joined\x1f$member\x1faddress=10.0.0.9:4000\x1fip=10.0.0.9\x1fsince=1800000000\n$head\x1fnumber=2\x1fkind=line\x1f$member\x1ftext=[12:00:00] [Carol]: hi\n$head\x1fnumber=3\x1fkind=renamed\x1fnode=there\x1fid=7\x1fname=Caz\x1fold=Carol\n$head\x1fnumber=4\x1fkind=left\x1fnode=there\x1fid=7\x1fname=Caz\x1freason=too_slow\x1fdetail=fell behind\x1fnote=server lost\n" > corpus/room_entry/join-say-rename-leave
printf "$head\x1fnumber=1\x1fkind=kicked\x1fnode=here\x1fid=1\x1fname=Alice\x1ftext=You were removed.\x1fnote=removed\x1freason=kicked\x1fdetail=spam\n$head\x1fnumber=2\x1fkind=banned\x1ftext=Banned.\x1fnote=banned\x1freason=banned\x1fdetail=\x1fnetwork=127.0.0.0/8\x1funtil=1800003600\n$head\x1fnumber=3\x1fkind=said\x1ftext=maintenance\n" > corpus/room_entry/kick-ban-say
printf 'member\tthere\t7\t1 1800000000 10.0.0.9 10.0.0.9:4000 Carol Ann\nhello\tworld\nv\t2\te\tkind=line\n' > corpus/room_entry/member-and-strangers
# Redis's replies as the server's connection reads them: XREAD's entries, a server's members,
# the room's bans, XINFO's description, nil, errors (one without a message), a status, a number.
printf 'R*1\r\n*2\r\n$13\r\nostrel:stream\r\n*2\r\n*2\r\n$15\r\n1700000000000-0\r\n*4\r\n$1\r\nv\r\n$1\r\n1\r\n$1\r\ne\r\n$63\r\nkind=said\x1forigin=there\x1frun=r1\x1fnumber=1\x1ftext=maintenance at noon\r\n*2\r\n$15\r\n1700000000000-1\r\n*4\r\n$1\r\nv\r\n$1\r\n1\r\n$1\r\ne\r\n$118\r\nkind=joined\x1forigin=there\x1frun=r1\x1fnumber=2\x1fnode=there\x1fid=7\x1fname=Carol\x1faddress=10.0.0.9:4000\x1fip=10.0.0.9\x1fsince=1800000000\r\n*2\r\n$10\r\n1073741825\r\n$45\r\n1 1800000000 10.0.0.9 10.0.0.9:4000 Carol Ann\r\n*4\r\n$12\r\n192.0.2.0/24\r\n$12\r\n- the office\r\n$11\r\n203.0.113.7\r\n$15\r\n1800003600 spam\r\n*8\r\n$6\r\nlength\r\n:2\r\n$13\r\nentries-added\r\n:5\r\n$17\r\nlast-generated-id\r\n$15\r\n1700000000000-1\r\n$23\r\nrecorded-first-entry-id\r\n$15\r\n1700000000000-0\r\n$-1\r\n-OOM command not allowed\r\n-\r\n+OK\r\n:1\r\n*-1\r\n' > corpus/room_entry/replies
