#pragma once

// What `skyportal --help` prints.
namespace sp {

inline constexpr const char* kProgramUsage =
    "usage: skyportal [/auto | /l] [/r | /n]\n"
    "Zentora Skyportal: connects the computer to the Internet through a GPRS phone or modem.\n"
    "The switches count only at their position:\n"
    "  /auto      (first) start minimised into the tray, as the autorun entry does; never dials\n"
    "  /l         (first) write the event log GPRSlog.log beside the program (in the machine\n"
    "             root where the program's folder cannot be written, as when installed)\n"
    "  /r         (second) keep the registry values plain instead of enciphered\n"
    "  /n         (second) write the log lines plain instead of enciphered\n"
    "  --help     (first only) print this text\n"
    "  --version  (first only) print the version\n"
    "The machine is $SKYPORTAL_ROOT, else $XDG_DATA_HOME/skyportal, else ~/.local/share/skyportal.\n";

} // namespace sp
