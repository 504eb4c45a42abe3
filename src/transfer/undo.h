// The edit journal: the edits of one image (the commands of edit.h the app
// runs, and adding files) as steps that can be taken back and put back, as
// many as were made since the image was opened or last saved. Each step
// keeps what it replaced: the subtrees a deletion detached (with the hard
// links that took over a removed file), the entries an attribute change or a
// rename overwrote, the nodes an addition made (kept detached while it is
// undone) and the entries of the files it replaced. Steps are undone last
// first, so the tree a step is undone in is the one it left.
#pragma once

#include "addfiles.h"
#include "edit.h"
#include "model/timg.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

class EditJournal {
public:
    // A journal of img's edits from now on; img counts as unmodified at
    // this point unless it is marked modified already.
    explicit EditJournal(const Timg& img);
    EditJournal(const EditJournal&) = delete;
    EditJournal& operator=(const EditJournal&) = delete;
    ~EditJournal();

    // The edits, as the functions of the same names do them; each one that
    // changes the tree becomes a step (and forgets the steps undone before
    // it). img.modified follows: clear exactly when the tree is as it was at
    // the start or at the last forget().
    NewDirResult newdir(Timg& img, uint32_t dirId, const std::string& name);
    size_t deletenodes(Timg& img, const std::vector<uint32_t>& ids);
    EditStatus renamenode(Timg& img, uint32_t id, const std::string& name);
    EditStatus changemode(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                          bool withChildren);
    EditStatus changeuid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                         bool withChildren);
    EditStatus changegid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                         bool withChildren);
    // Adding files (also when it stops early, is cancelled or throws: what
    // was added until then is a step).
    AddResult addfiles(Timg& img, const std::vector<std::string>& paths, uint32_t dirId,
                       AddOptions opt);

    // The edits made from beginGroup() to endGroup() are one step (a
    // command that makes several, such as a deletion done folder by folder).
    void beginGroup();
    void endGroup(Timg& img);

    // Where a step happened, for showing it: the folder and an object in it
    // (0 when there is none to select).
    struct Place {
        uint32_t folderId = 0;
        uint32_t objectId = 0;
    };

    bool canUndo() const { return applied_ > 0; }
    bool canRedo() const { return applied_ < steps_.size(); }
    // Takes back the last step made (or put back); nullopt when there is none.
    std::optional<Place> undo(Timg& img);
    // Puts back the last step undone; nullopt when there is none.
    std::optional<Place> redo(Timg& img);
    // Forgets every step: the tree as it stands is the saved one (after a
    // save).
    void forget();
    size_t steps() const { return steps_.size(); }

    // One step (its kinds are the journal's own).
    struct Step;

private:
    // Makes step the next one and sets img.modified.
    void push(Timg& img, std::unique_ptr<Step> step);
    void settle(Timg& img);
    EditStatus attributes(Timg& img, const std::vector<uint32_t>& ids, bool withChildren,
                          Place place, std::function<EditStatus(Timg&)> edit);

    std::vector<std::unique_ptr<Step>> steps_;
    bool grouping_ = false;
    std::vector<std::unique_ptr<Step>> group_;
    size_t applied_ = 0;
    // The number of steps applied when the tree was the saved one; npos when
    // no sequence of undo and redo leads back there.
    size_t saved_ = 0;
};

} // namespace korvane
