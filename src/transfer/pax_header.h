// The pax extended header of a tar member ("x" typeflag: records "LEN
// key=value\n" before the member's ustar header), read and written where
// libarchive gets records wrong:
//
// - times before 1970 with a fraction: libarchive gives the fraction the sign
//   of the seconds, so -0.5 s is written as "-1.5" and "-0.5" read as +0.5 s;
//   POSIX (and GNU tar) write one signed decimal;
// - an atime (or ctime) of exactly 0 is left out, and extraction then gives
//   the file the current time;
// - the GNU.sparse.name record of a sparse file whose path is longer than 100
//   bytes and not all ASCII holds the cut name of the ustar header, which GNU
//   tar takes as the file's name.
//
// The writer hands the header bytes libarchive made to rewritePaxHeader; the
// reader reads the records of the bytes it was given (memberPaxRecords).
#pragma once

#include "model/bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// A moment as the image keeps it: seconds (negative before 1970) and
// nanoseconds from 0 to 999,999,999 after them.
struct PaxTime {
    int64_t sec = 0;
    uint32_t nsec = 0;

    friend bool operator==(const PaxTime&, const PaxTime&) = default;
};

// One signed decimal, without trailing zeros in the fraction: {-1,
// 500000000} is "-0.5", {5, 0} is "5".
std::string paxTime(PaxTime t);
// The inverse; nullopt for text that is no decimal number of seconds.
std::optional<PaxTime> parsePaxTime(std::string_view text);

using PaxRecords = std::vector<std::pair<std::string, std::string>>;

// The header libarchive wrote for one member (an "x" header and its records,
// then the ustar header; or the ustar header alone) with the records of set
// replacing those of the same key, or added after them; an "x" header is made
// from the ustar header when there was none. The bytes come back unchanged
// when they are not such a header.
Bytes rewritePaxHeader(ByteSpan header, const PaxRecords& set);

// The records of the "x" headers of one member, read from the bytes of its
// headers as they follow one another from the member's first block up to its
// ustar header (long-name and global headers on the way are passed over).
// nullopt when the bytes end first or a header's checksum is wrong.
std::optional<PaxRecords> memberPaxRecords(ByteSpan blocks);

} // namespace korvane
