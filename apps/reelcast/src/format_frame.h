#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <string>

namespace nmb::reelcast {

// The console text of one played frame: four lines, each ended by a line
// break, giving the frame number, frame ID, payload length and timestamp with
// its unit ("ms" for millisecond ticks, otherwise "us"; 0 us for a frame
// without a timestamp). `frame` is one whole frame; a short buffer is read
// as far as it goes.
std::string format_frame(const QByteArray& frame, quint64 frame_number);

} // namespace nmb::reelcast
