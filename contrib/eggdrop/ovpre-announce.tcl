# ovpre-announce.tcl -- posts ovpre's pre announcements to IRC.
#
# After every successful "site pre" ovpre replaces its announce file with two
# lines (CR LF line ends, IRC bold bytes included). This script watches that
# file and posts its lines, unchanged, to the configured channels.
#
# Settings: set them in eggdrop.conf before the "source" line, or edit the
# defaults below.
#
#   set ovpre(file)     "/path/to/announce.txt" ;# ovpre's announcefile
#   set ovpre(channels) "#pre"                  ;# one or more, space separated
#   set ovpre(interval) 1                       ;# seconds between looks
#   set ovpre(encoding) utf-8                   ;# how the file's text is read
#
# The text is handed to eggdrop decoded with ovpre(encoding). An eggdrop that
# sends text as UTF-8 (1.8.4 as packaged by Debian, 1.9 and later) then posts
# UTF-8 release names byte for byte; for an eggdrop that sends its strings
# unconverted, use "binary". Bytes that are not valid in the encoding are kept
# as single characters.
#
# Needs the channels, server and irc modules. Loading the script again
# (.rehash) keeps what it has already posted and restarts its timer.

if {![info exists ovpre(file)]} { set ovpre(file) "announce.txt" }
if {![info exists ovpre(channels)]} { set ovpre(channels) "#pre" }
if {![info exists ovpre(interval)]} { set ovpre(interval) 1 }
if {![info exists ovpre(encoding)]} { set ovpre(encoding) utf-8 }

namespace eval ::ovpre_announce {
  # Signature (mtime, size, content) of the announcement that was posted last,
  # or that was already in the file when the script was first loaded.
  variable posted
  # Id of the polling timer.
  variable timer
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
  if {![catch {encoding convertfrom $ovpre(encoding) $data} text]} { set data $text }
  set lines {}
  foreach line [split $data "\n"] {
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

proc ::ovpre_announce::poll {} {
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

proc ::ovpre_announce::tick {} {
  if {[catch {poll} err]} { putlog "ovpre-announce: $err" }
}

namespace eval ::ovpre_announce {
  # What is in the file when the bot starts was announced before it started.
  if {![info exists posted]} { set posted [snapshot $::ovpre(file)] }
  if {[info exists timer]} { catch {killutimer $timer} }
  set timer [utimer $::ovpre(interval) ::ovpre_announce::tick 0]
}

putlog "ovpre-announce loaded: $ovpre(file) -> $ovpre(channels) every $ovpre(interval)s"
