// Tcontainer: an image whose content is a list of named members (the
// partitions of a super image, the volumes of UBI, the kernel and ramdisks of
// a boot image). Its tree is a root folder holding one regular file per
// member, so listing, extracting and replacing members need nothing of their
// own; opening a member runs the probes again on its bytes.
#pragma once

#include "model/timg.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

class Tcontainer : public Timg {
public:
    bool isContainer() const override { return true; }
    std::shared_ptr<const ImageSource> memberSource(const TImgEntry& e) const override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;

protected:
    // Makes the root folder (mode 040755, the given time), dropping any
    // members added before.
    void startMembers(int64_t time = 0);
    // Adds a member: a regular file of mode 0100644 whose contents are
    // bytes. Names that are empty, ".", "..", hold "/" or a NUL, or repeat a
    // name met before, are given a name of their own ("member-3") and a
    // warning. Returns the member's node.
    Node* addMember(std::string name, std::shared_ptr<const ImageSource> bytes, int64_t time = 0);

    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;

private:
    std::vector<std::shared_ptr<const ImageSource>> members_; // by object id
};

} // namespace korvane
