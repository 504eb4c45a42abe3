// Tcpio: a cpio archive (a ramdisk: newc, as Android and the kernel use it,
// or the older odc and binary forms) read through libarchive as a
// filesystem, plain or compressed with gzip or LZ4. A compressed one is
// unpacked once into an unlinked temporary file; contents are then read in
// place from the unpacked bytes.
#pragma once

#include "model/timg.h"
#include "ramdisk_codec.h"

#include <unordered_map>

namespace korvane {

class Tcpio : public Timg {
public:
    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "cpio ramdisk"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;
    uint64_t contentSize(const TImgEntry& e) const override;

    cpio::Compression compression() const { return compression_; }
    // libarchive's name of the cpio form ("SVR4 cpio nocrc" for newc).
    const std::string& archiveForm() const { return form_; }
    int archiveFormat() const { return format_; }
    // Whether the archive names its top folder (".") and its members "./x".
    bool hasTopEntry() const { return topEntry_; }
    bool dotSlashNames() const { return dotSlash_; }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;

private:
    class Builder;

    std::shared_ptr<const ImageSource> unpacked_;
    cpio::Compression compression_ = cpio::Compression::kNone;
    std::string form_;
    int format_ = 0;
    bool topEntry_ = false;
    bool dotSlash_ = false;
    uint64_t members_ = 0;
    std::unordered_map<uint32_t, uint64_t> dataAt_; // object id -> offset in unpacked_
};

} // namespace korvane
