// Archive names are bytes, and Korvane's names are UTF-8. libarchive converts
// the names of pax headers between UTF-8 and the current locale's character
// set, which in the "C" locale fails for every name beyond ASCII. While one of
// these is alive, the calling thread (only it: the process's locale stays as
// it is) works in C.UTF-8, so that valid names pass as they are.
#pragma once

#include <locale.h>

namespace korvane {

class Utf8Names {
public:
    Utf8Names() {
        utf8_ = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (utf8_)
            old_ = ::uselocale(utf8_);
    }
    ~Utf8Names() {
        if (utf8_) {
            ::uselocale(old_);
            ::freelocale(utf8_);
        }
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    locale_t utf8_ = nullptr;
    locale_t old_ = nullptr;
};

} // namespace korvane
