// Why a playback handle of either card library stopped handing out frames.
// Readers that must tell a whole span from a damaged one (the export, the
// frame list) ask after the last frame.
#pragma once

#define QMX_PLAYBACK_RUNNING 0      // not ended (or never started)
#define QMX_PLAYBACK_END_OF_DATA 1  // the recorded data ends here: a normal end
#define QMX_PLAYBACK_READ_ERROR 2   // the card could not be read
#define QMX_PLAYBACK_DAMAGED 3      // the next frame cannot be a frame of this channel
