// The end-to-end benchmark's frame and the README's alpha picture, made with
// OpenEXR and libpng directly (qx_exrgen bench, band, disc, grid).
#pragma once

// 1920x1080, the 19 channels of the Frames table (colour half, the other
// buffers float), ZIP, eight special-buffer values in vertical bands.
void benchFrame(const char *path);
// The same, with the special buffer's bands only in rows 486 to 593 (a
// tenth of the rows) and 0 elsewhere: the demo's stacks touch those rows
// alone.
void bandFrame(const char *path);
// A premultiplied soft-edged disc, 160x160, special-buffer value 1 wherever
// A > 0.
void discFrame(const char *path);
// Writes paths[0], a PNG of the four PNGs paths[1..4] (their stored bytes)
// over a grey checkerboard, two by two. Returns the exit status.
int grid(char **paths);
