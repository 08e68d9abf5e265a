#pragma once

#include <QFile>

namespace nmb::bench {

// Times, in the open recording `file`: the seek to `fraction` and a jump by
// time to the same share of the take's length through the take index, on a
// fresh index and then `repeat` times once the index knows the take (the
// repeated jumps go to different places); and opening the recording up to
// its first frame, with and without finding the take's length. Prints one
// "navigation <what> <ms>" line per figure. False when a step fails.
bool run_navigation(QFile& file, double fraction, int repeat);

} // namespace nmb::bench
