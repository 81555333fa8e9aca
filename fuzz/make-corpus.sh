#!/usr/bin/env bash
# Writes the seed corpus: real frames and files of the kinds each fuzz target reads.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$here"
rm -rf corpus
mkdir -p corpus/packet_extraction corpus/frame_receive corpus/settings_file corpus/server_input

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

# Entries of a room's stream in Redis, one a line: field, value, ... separated by tabs.
mkdir -p corpus/room_entry
head='v\t1\torigin\tthere\trun\tr1\tnumber'
member='node\tthere\tid\t7\tname\tCarol'
printf "$head\t1\tkind\tjoined\t$member\taddress\t10.0.0.9:4000\tip\t10.0.0.9\tsince\t1800000000\n$head\t2\tkind\tline\t$member\ttext\t[12:00:00] [Carol]: hi\n$head\t3\tkind\trenamed\tnode\tthere\tid\t7\tname\tCaz\told\tCarol\n$head\t4\tkind\tleft\tnode\tthere\tid\t7\tname\tCaz\treason\ttoo_slow\tdetail\tfell behind\tnote\tserver lost\n" > corpus/room_entry/join-say-rename-leave
printf "$head\t1\tkind\tkicked\tnode\there\tid\t1\tname\tAlice\ttext\tYou were removed.\tnote\tremoved\treason\tkicked\tdetail\tspam\n$head\t2\tkind\tbanned\ttext\tBanned.\tnote\tbanned\treason\tbanned\tdetail\t\tnetwork\t127.0.0.0/8\tuntil\t1800003600\n$head\t3\tkind\tsaid\ttext\tmaintenance\n" > corpus/room_entry/kick-ban-say
printf 'member\tthere\t7\t1 1800000000 10.0.0.9 10.0.0.9:4000 Carol Ann\nhello\tworld\nv\t2\tkind\tline\n' > corpus/room_entry/member-and-strangers
ls corpus/*
