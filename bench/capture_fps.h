// Frames per second of a capture through the whole stack on the virtual clock: stream class requests,
// the library's packet pump through the driver's packet routine, raw-frame assembly and the driver's
// conversion into the read requests' buffers.
#pragma once

// Loads the driver, adds a simulated camera, opens the capture pin with the format intersection offers,
// runs it, reads Frames frames into one reused buffer, stops, closes and unloads, as `z40k capture
// --clock virtual` does but without writing any file. Returns the frames read per second of wall-clock
// time spent in the reads (0 when the stack could not be brought up or a read failed).
double MeasureCaptureFps(unsigned Frames);
