// Depth buffers: a survey of every depth tile finds the smallest and largest non-empty value;
// each depth tile is then scaled onto one byte per pixel, the minimum to 0 and the maximum to
// 255. A depth pixel is 4 bytes, its 32-bit value least significant byte first; a most
// significant byte of 0 marks a pixel without depth, which is passed over and becomes 0.
#ifndef TNIFF_READER_DEPTH_NORMALISATION_H
#define TNIFF_READER_DEPTH_NORMALISATION_H

#include <cstdint>

struct DepthRange {
    uint32_t minimum;  // smallest non-empty value seen; all bits set before any
    uint32_t maximum;  // largest non-empty value seen; 0 before any
};

// The range before the survey has seen anything.
DepthRange EmptyDepthRange();

// Widens range by the non-empty values among count pixels of 4 bytes.
void SurveyDepth(DepthRange* range, const uint8_t* pixels, uint32_t count);

// Turns count pixels of 4 bytes into count bytes at the start of the same memory: empty pixels
// give 0, others min(255, floor(256 x (v - minimum) / (maximum - minimum))), a value below the
// minimum (which only a tile the survey did not see can hold) 0. When maximum equals minimum
// every other non-empty pixel gives 255 (there is no spread to scale, and such a pixel is as deep
// as the deepest).
void NormaliseDepth(const DepthRange& range, uint8_t* pixels, uint32_t count);

#endif
