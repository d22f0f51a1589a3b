// ohmlog's run, from the command line to the summary: opens the meter port, asks for readings
// one after the other, writes each row as soon as its reply is complete, and at the end the
// plot and the summary. The port is restored and closed on every path.
#pragma once

namespace logbook {

// The exit status: 0 done (Ctrl-C included), 1 the port or a file failed, 2 bad usage, 3 a
// run ended by --stop-on-alarm.
int run_ohmlog(int argc, char** argv);

} // namespace logbook
