// What the fuzzing harnesses share. Each format has one entry point,
// korvaneFuzzOne, compiled into its libFuzzer harness and into the replay
// test of the ordinary build; both hand it one input at a time.
#pragma once

#include "model/timg.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Opens the input as an image of one format and reads everything in it.
// Returns 0. A broken promise of the reader (a range read that disagrees with
// itself, a tree that does not hang together) aborts, and so does any
// exception other than the Error a refused image throws.
int korvaneFuzzOne(const uint8_t* data, size_t size);

namespace korvane::fuzz {

// Inputs above this size are passed over: the seeds are under 64 KiB, and
// larger inputs only slow the search down.
constexpr size_t kMaxInput = 1u << 20;

// The buffer contents are read through: small, and no multiple of any chunk or
// block size, so that pieces straddle every boundary.
constexpr size_t kPieceSize = 1500;

// What one input may cost the walk at most. An image may map one block under
// every offset of a huge file, so its data is real but far larger than the
// image; reading all of it proves nothing more than reading the first
// kReadBudget bytes.
constexpr uint64_t kReadBudget = 32u << 20;
constexpr uint64_t kRangeBudget = 1u << 16;
// Ids that have no node are looked up (as a hard link's target or an id typed
// by the user would be) up to this many.
constexpr uint32_t kLooseIds = 4096;
// A sparse image or container may claim a huge image in a few bytes; a
// reader that needs its image in one piece copies the claim, which costs time
// in proportion to it. openAny lets copies take at most this many bytes.
constexpr uint64_t kCopyBudget = 64u << 20;

// Opens data as an image of the reader called readerName ("yaffs2", "ext"),
// as opening a file would but from memory. nullptr when the reader refuses
// the bytes.
std::unique_ptr<Timg> openImage(const char* readerName, const uint8_t* data, size_t size);

// Opens data as opening a file does (containers unwrapped, the readers
// bidding), from memory. nullptr when nothing reads the bytes.
std::unique_ptr<Timg> openAny(const uint8_t* data, size_t size);

// Builds every text the CLI and the app show for each object of the tree,
// checks that the tree hangs together, and reads every object's contents in
// ranges, checking the ranges against each other.
void readEverything(Timg& img);

// The body of a format's korvaneFuzzOne: openImage, then readEverything.
int fuzzImage(const char* readerName, const uint8_t* data, size_t size);

} // namespace korvane::fuzz
