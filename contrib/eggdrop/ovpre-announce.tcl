# ovpre-announce.tcl -- posts ovpre's pre announcements to IRC.
#
# ovpre announces every successful "site pre" in two lines (CR LF line ends,
# IRC bold bytes included). This script posts them, unchanged, to the
# configured channels, read from one of two places:
#
# - the announce log (ovpre's "announcelog" setting), to which every pre adds
#   its two lines. With ovpre(log) set, the script reads the log from where
#   it last stopped and posts every line once, in order: pres close together
#   and pres made while the bot was away are all announced. Where it stopped
#   is kept in the file ovpre(state). ovpre writes the log in UTF-8 on every
#   system.
# - the announce file (ovpre's "announcefile"), which every pre replaces.
#   Without ovpre(log) the script watches ovpre(file); it holds only the
#   latest pre, so of two pres within one look only the second is posted.
#   ovpre writes it in the system's ANSI code page on Windows (cp1252 on
#   Western European systems) and in UTF-8 elsewhere: set ovpre(encoding)
#   to match.
#
# Settings: set them in eggdrop.conf before the "source" line, or edit the
# defaults below.
#
#   set ovpre(log)         "/path/to/announce.log" ;# ovpre's announcelog ("": not used)
#   set ovpre(state)       "ovpre-announce.offset" ;# where reading the log stopped
#   set ovpre(logencoding) utf-8                   ;# how the log's text is read
#   set ovpre(file)        "/path/to/announce.txt" ;# ovpre's announcefile
#   set ovpre(encoding)    utf-8                   ;# how the file's text is read
#   set ovpre(channels)    "#pre"                  ;# one or more, space separated
#   set ovpre(interval)    1                       ;# seconds between looks
#
# The text is handed to eggdrop decoded with the encoding given. An eggdrop
# that sends text as UTF-8 (1.8.4 as packaged by Debian, 1.9 and later) then
# posts UTF-8 release names byte for byte; for an eggdrop that sends its
# strings unconverted, use "binary". Bytes that are not valid in the encoding
# are kept as single characters.
#
# Needs the channels, server and irc modules. Loading the script again
# (.rehash) keeps what it has already posted and restarts its timer.

if {![info exists ovpre(log)]} { set ovpre(log) "" }
if {![info exists ovpre(state)]} { set ovpre(state) "ovpre-announce.offset" }
if {![info exists ovpre(logencoding)]} { set ovpre(logencoding) utf-8 }
if {![info exists ovpre(file)]} { set ovpre(file) "announce.txt" }
if {![info exists ovpre(encoding)]} { set ovpre(encoding) utf-8 }
if {![info exists ovpre(channels)]} { set ovpre(channels) "#pre" }
if {![info exists ovpre(interval)]} { set ovpre(interval) 1 }

namespace eval ::ovpre_announce {
  # What is read: "log" or "file", as of the last time the script was loaded.
  variable mode
  # Signature (mtime, size, content) of the announcement that was posted last,
  # or that was already in the file when the script was first loaded.
  variable posted
  # How many bytes of the log have been posted (or were there before).
  variable offset
  # Id of the polling timer.
  variable timer
  # At most this many lines per look, and none while the server queue holds
  # this many: eggdrop drops lines beyond its queue's limit.
  variable most_lines 10
}

# `bytes` as text in `encoding`; unchanged when the encoding is unknown.
proc ::ovpre_announce::decode {bytes encoding} {
  if {[catch {encoding convertfrom $encoding $bytes} text]} { return $bytes }
  return $text
}

# Reads the announce file. Returns {} when it is missing or unreadable, else
# a list: modification time, size, content (raw bytes).
proc ::ovpre_announce::snapshot {path} {
  if {[catch {file stat $path st}]} { return {} }
  if {[catch {open $path r} chan]} { return {} }
  fconfigure $chan -translation binary
  set failed [catch {read $chan} data]
  catch {close $chan}
  if {$failed} { return {} }
  return [list $st(mtime) $st(size) $data]
}

# The lines of an announcement, without their line ends, empty lines left out.
# Returns {} while the file is empty or still being written: ovpre writes two
# lines, each ending in a line break, and only that is taken as whole.
proc ::ovpre_announce::whole_lines {data} {
  if {[string index $data end] ne "\n"} { return {} }
  global ovpre
  set lines {}
  foreach line [split [decode $data $ovpre(encoding)] "\n"] {
    set line [string trimright $line "\r"]
    if {$line ne ""} { lappend lines $line }
  }
  if {[llength $lines] < 2} { return {} }
  return $lines
}

# The configured channels the bot is on right now.
proc ::ovpre_announce::joined_channels {} {
  global ovpre
  set joined {}
  foreach channel $ovpre(channels) {
    if {[validchan $channel] && [botonchan $channel]} { lappend joined $channel }
  }
  return $joined
}

# One look at the announce file.
proc ::ovpre_announce::poll_file {} {
  variable posted
  global ovpre
  set snap [snapshot $ovpre(file)]
  if {$snap eq {} || $snap eq $posted} { return }
  set lines [whole_lines [lindex $snap 2]]
  if {$lines eq {}} { return }
  # Off IRC or not yet on a channel: keep the announcement for a later look.
  set channels [joined_channels]
  if {$channels eq {}} { return }
  foreach channel $channels {
    foreach line $lines { putserv "PRIVMSG $channel :$line" }
  }
  set posted $snap
}

# The offset kept in the state file, or {} when there is none.
proc ::ovpre_announce::saved_offset {} {
  global ovpre
  if {[catch {open $ovpre(state) r} chan]} { return {} }
  set failed [catch {string trim [read $chan]} text]
  catch {close $chan}
  if {$failed || ![string is digit -strict $text]} { return {} }
  return $text
}

# Keeps the offset in the state file: written beside it, then renamed over
# it, so that a crash leaves the old offset or the new one.
proc ::ovpre_announce::save_offset {} {
  variable offset
  global ovpre
  set temp "$ovpre(state).new"
  if {[catch {
    set chan [open $temp w]
    puts $chan $offset
    close $chan
    file rename -force $temp $ovpre(state)
  } err]} { putlog "ovpre-announce: cannot keep the offset in $ovpre(state): $err" }
}

# Where reading the log begins when the script starts reading it: where it
# stopped before, else at the log's end (what is there was news before the
# bot came), or at its start when there is no log yet.
proc ::ovpre_announce::start_offset {} {
  variable offset
  global ovpre
  set offset [saved_offset]
  if {$offset ne {}} { return }
  if {[catch {file size $ovpre(log)} offset]} { set offset 0 }
  save_offset
}

# One look at the announce log: posts the whole lines after the offset, in
# order, and moves the offset past them. A line still being written waits.
proc ::ovpre_announce::poll_log {} {
  variable offset
  variable most_lines
  global ovpre
  if {[catch {file size $ovpre(log)} size]} { return }
  # A log that shrank was emptied or rotated: it is read from its start.
  if {$size < $offset} {
    set offset 0
    save_offset
  }
  if {$size == $offset} { return }
  set channels [joined_channels]
  if {$channels eq {} || [queuesize server] >= $most_lines} { return }
  if {[catch {open $ovpre(log) r} chan]} { return }
  fconfigure $chan -translation binary
  set failed [catch {seek $chan $offset; read $chan 65536} data]
  catch {close $chan}
  if {$failed} { return }
  set taken 0
  set lines 0
  while {$lines < $most_lines} {
    set end [string first "\n" $data $taken]
    if {$end < 0} { break }
    set line [string trimright [string range $data $taken [expr {$end - 1}]] "\r"]
    set taken [expr {$end + 1}]
    if {$line eq ""} { continue }
    set line [decode $line $ovpre(logencoding)]
    foreach channel $channels { putserv "PRIVMSG $channel :$line" }
    incr lines
  }
  if {$taken == 0} { return }
  set offset [expr {$offset + $taken}]
  save_offset
}

proc ::ovpre_announce::tick {} {
  variable mode
  if {[catch {if {$mode eq "log"} { poll_log } else { poll_file }} err]} {
    putlog "ovpre-announce: $err"
  }
}

namespace eval ::ovpre_announce {
  set reading [expr {$::ovpre(log) ne "" ? "log" : "file"}]
  # What is in the file when the bot starts was announced before it started;
  # the log is read on from where the bot stopped reading it.
  if {![info exists mode] || $mode ne $reading} {
    if {$reading eq "log"} { start_offset } else { set posted [snapshot $::ovpre(file)] }
  }
  set mode $reading
  if {[info exists timer]} { catch {killutimer $timer} }
  set timer [utimer $::ovpre(interval) ::ovpre_announce::tick 0]
}

if {$ovpre(log) ne ""} {
  putlog "ovpre-announce loaded: $ovpre(log) from byte $::ovpre_announce::offset -> $ovpre(channels) every $ovpre(interval)s"
} else {
  putlog "ovpre-announce loaded: $ovpre(file) -> $ovpre(channels) every $ovpre(interval)s"
}
