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
#   is kept in the file ovpre(state), with the last announcement posted, so
#   that a log deleted, emptied, cut down to its last lines or rotated is
#   read on after that announcement, or from its start when it no longer
#   holds it. ovpre writes the log in UTF-8 on every system.
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
# Needs Tcl 8.5 or later and the channels, server and irc modules. Loading the script again
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
  # Where reading the log stopped: how many bytes have been posted (or were
  # there before), the log's identity, the entry the offset follows, and
  # whether the offset is inside a line too long to post.
  variable offset
  variable ident
  variable entry
  variable skipping
  # Id of the polling timer.
  variable timer
  # At most this many lines per look, and none while the server queue holds
  # this many: eggdrop drops lines beyond its queue's limit.
  variable most_lines 10
  # Longer lines are skipped (IRC carries about 500 bytes a line; ovpre's
  # lines are far shorter), and so many bytes of the last lines are kept.
  variable line_bytes 4096
  variable entry_bytes 8192
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

# --- The announce log.
#
# Where reading stopped is kept as three things: the offset, the log's
# identity (device and file number from "file stat") and the entry the
# offset follows: the last two lines before it, as bytes (at most 8 KiB; while
# an overlong line is skipped, its last bytes read). Each look first makes
# sure that the log still holds that entry right before the offset. When it
# does not (the log was deleted, emptied, trimmed, rotated or replaced), or
# the identity changed, the log is searched for the entry: reading goes on
# after its last occurrence, and a log that does not hold it is a new one,
# read from its start. The size alone cannot tell: a new log can be as long
# as the old one, or longer.
#
# On Windows the identity depends on the Tcl: windrop's (built with Cygwin)
# gives NTFS's file ID; a Tcl built for Windows itself gives the drive and
# the two halves of the file index ORed together (other files may share it),
# or 0 while another program holds the file without read sharing. A change of
# identity only makes the script search for the entry, which then is found
# where it was; the entry tells in every case above.

# The last two lines of `bytes` (the last one may be unfinished), at most
# `entry_bytes` of them: what tells where reading stopped.
proc ::ovpre_announce::tail_entry {bytes} {
  variable entry_bytes
  set last [expr {[string length $bytes] - 1}]
  if {[string index $bytes end] eq "\n"} { incr last -1 }
  set cut [string last "\n" $bytes $last]
  if {$cut >= 0} { set cut [string last "\n" $bytes [expr {$cut - 1}]] }
  set entry [string range $bytes [expr {$cut + 1}] end]
  return [string range $entry end-[expr {$entry_bytes - 1}] end]
}

# The log's identity as "file stat" gives it ({} when it cannot be read), and
# its size in the variable named `sizevar`.
proc ::ovpre_announce::identity {path sizevar} {
  upvar 1 $sizevar size
  if {[catch {file stat $path st}]} { return {} }
  set size $st(size)
  return [list $st(dev) $st(ino)]
}

# Reads the state file into offset, ident, entry and skipping. The format
# of earlier versions, the offset alone, gives an unknown identity and entry,
# which the first look takes from the log. Returns 0 when there is no state
# file or it cannot be read.
proc ::ovpre_announce::load_state {} {
  variable offset
  variable ident
  variable entry
  variable skipping
  global ovpre
  if {[catch {open $ovpre(state) r} chan]} { return 0 }
  set failed [catch {read $chan} text]
  catch {close $chan}
  if {$failed} { return 0 }
  set text [string trim $text]
  if {[string is digit -strict $text]} {
    lassign [list $text {} {} 0] offset ident entry skipping
    return 1
  }
  foreach line [split $text "\n"] {
    if {[regexp {^\s*(\S+)\s*(.*)$} $line -> key value]} { set kept($key) [string trim $value] }
  }
  foreach key {offset file entry skipping} {
    if {![info exists kept($key)]} { return 0 }
  }
  if {![string is digit -strict $kept(offset)] || ![string is xdigit $kept(entry)]
      || $kept(skipping) ni {0 1}} { return 0 }
  set offset $kept(offset)
  set ident $kept(file)
  set entry [binary format H* $kept(entry)]
  set skipping $kept(skipping)
  return 1
}

# Keeps offset, identity and entry in the state file: written beside it,
# then renamed over it, so that a crash leaves the old state or the new one.
proc ::ovpre_announce::save_state {} {
  variable offset
  variable ident
  variable entry
  variable skipping
  global ovpre
  binary scan $entry H* hex
  set temp "$ovpre(state).new"
  if {[catch {
    set chan [open $temp w]
    puts $chan "offset $offset\nfile $ident\nentry $hex\nskipping $skipping"
    close $chan
    file rename -force $temp $ovpre(state)
  } err]} { putlog "ovpre-announce: cannot keep the offset in $ovpre(state): $err" }
}

# Where reading the log begins when the script starts reading it: where it
# stopped before, else at the log's end (what is there was news before the
# bot came), or at its start when there is no log yet.
proc ::ovpre_announce::start_offset {} {
  variable offset
  variable ident
  variable entry
  variable skipping
  variable entry_bytes
  global ovpre
  if {[load_state]} { return }
  lassign [list 0 {} {} 0] offset ident entry skipping
  set id [identity $ovpre(log) size]
  if {$id ne {} && ![catch {open $ovpre(log) r} chan]} {
    fconfigure $chan -translation binary
    set from [expr {max(0, $size - $entry_bytes)}]
    if {![catch {seek $chan $from; read $chan [expr {$size - $from}]} tail]} {
      lassign [list [expr {$from + [string length $tail]}] $id [tail_entry $tail]] \
        offset ident entry
    }
    catch {close $chan}
  }
  save_state
}

# The offset just after the last occurrence of `needle` in the log open on
# `chan` (of `size` bytes), or -1. Reads the log backwards, a MiB at a time.
proc ::ovpre_announce::find_last {chan size needle} {
  set length [string length $needle]
  set chunk 1048576
  set end $size
  while {$end >= $length} {
    set from [expr {max(0, $end - $chunk)}]
    seek $chan $from
    set data [read $chan [expr {$end - $from}]]
    set at [string last $needle $data]
    if {$at >= 0} { return [expr {$from + $at + $length}] }
    if {$from == 0} { break }
    set end [expr {$from + $length - 1}]
  }
  return -1
}

# The log no longer holds the entry right before the offset, or is another
# file: finds where to go on. After the entry's last occurrence; or, in a log
# cut down to its last lines, after the entry's last line when the log begins
# with it; else from the start: all of it is new.
proc ::ovpre_announce::relocate {chan size id} {
  variable offset
  variable ident
  variable entry
  variable skipping
  global ovpre
  set ident $id
  set at -1
  if {$entry ne ""} { set at [find_last $chan $size $entry] }
  if {$at < 0 && !$skipping && [string index $entry end] eq "\n"} {
    set line [string range $entry [string first "\n" $entry]+1 end]
    if {$line ne "" && [string length $line] < [string length $entry]} {
      seek $chan 0
      if {[read $chan [string length $line]] eq $line} {
        set at [string length $line]
        set entry $line
      }
    }
  }
  if {$at < 0} {
    if {$entry ne "" || $offset != 0} {
      putlog "ovpre-announce: $ovpre(log) does not hold the last announcement posted: it is a new log, posted from its start"
    }
    lassign [list 0 {} 0] offset entry skipping
  } elseif {$at != $offset} {
    putlog "ovpre-announce: $ovpre(log) changed: going on after the last announcement posted, at byte $at"
    set offset $at
  }
  save_state
}

# One look at the announce log: makes sure where reading stopped, then posts
# the whole lines after it, in order, and moves past them. A line still being
# written waits; a line longer than line_bytes is skipped.
proc ::ovpre_announce::poll_log {} {
  variable offset
  variable ident
  variable entry
  variable skipping
  variable most_lines
  variable line_bytes
  variable entry_bytes
  global ovpre
  set id [identity $ovpre(log) size]
  # Missing (deleted or being rotated) or empty: nothing to post, and nothing
  # to find where reading stopped; the state is kept for the log to come.
  if {$id eq {} || $size == 0} { return }
  if {[catch {open $ovpre(log) r} chan]} { return }
  fconfigure $chan -translation binary
  set failed [catch {
    # A state of an earlier version has no identity and no entry: the offset
    # is taken as it is while the log is that long, as those versions did.
    if {$ident eq {}} {
      set ident $id
      if {$size < $offset} { set offset 0 }
      set from [expr {max(0, $offset - $entry_bytes)}]
      seek $chan $from
      set entry [tail_entry [read $chan [expr {$offset - $from}]]]
      save_state
    }
    set from [expr {$offset - [string length $entry]}]
    set data {}
    if {$from >= 0 && $size >= $offset} {
      seek $chan $from
      set data [read $chan [expr {$offset - $from + 65536}]]
    }
    if {$id ne $ident || $from < 0 || $size < $offset
        || [string range $data 0 [expr {$offset - $from - 1}]] ne $entry} {
      relocate $chan $size $id
      set from [expr {$offset - [string length $entry]}]
      seek $chan $from
      set data [read $chan [expr {65536 + $offset - $from}]]
    }
  }]
  catch {close $chan}
  if {$failed} { return }
  set data [string range $data [expr {$offset - $from}] end]
  if {$data eq ""} { return }
  set channels [joined_channels]
  if {$channels eq {} || [queuesize server] >= $most_lines} { return }
  set taken 0
  set lines 0
  while {$lines < $most_lines} {
    set end [string first "\n" $data $taken]
    if {$skipping} {
      # The rest of a line that was too long: dropped up to its end.
      if {$end < 0} { set taken [string length $data]; break }
      set taken [expr {$end + 1}]
      set skipping 0
      continue
    }
    # Its length without its line end (CR LF or LF).
    set length [expr {($end < 0 ? [string length $data] : $end) - $taken}]
    if {$end > $taken && [string index $data $end-1] eq "\r"} { incr length -1 }
    if {$length > $line_bytes} {
      putlog "ovpre-announce: skipped a line of more than $line_bytes bytes at byte [expr {$offset + $taken}] of $ovpre(log)"
      if {$end < 0} {
        set taken [string length $data]
        set skipping 1
        break
      }
      set taken [expr {$end + 1}]
      continue
    }
    # A line still being written waits for the next look.
    if {$end < 0} { break }
    set line [string trimright [string range $data $taken [expr {$end - 1}]] "\r"]
    set taken [expr {$end + 1}]
    if {$line eq ""} { continue }
    set line [decode $line $ovpre(logencoding)]
    foreach channel $channels { putserv "PRIVMSG $channel :$line" }
    incr lines
  }
  if {$taken == 0} { return }
  set entry [tail_entry "$entry[string range $data 0 [expr {$taken - 1}]]"]
  set offset [expr {$offset + $taken}]
  save_state
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
  } elseif {$reading eq "log" && ![info exists entry]} {
    # Loaded again over an earlier version, which kept the offset alone.
    lassign {{} {} 0} ident entry skipping
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
