// Thumbnails: placement in the square, the decoders' retry order, pictures
// that are damaged or claim too much, outdated results dropped, and the
// thumbnail view of the window.
#pragma once

#include <QObject>

namespace korvane::ui::test {

class ThumbnailTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void thumbnailPlacement();
    void thumbnailDecoderRetry();
    void thumbnailOfDamagedOrHugePicture();
    void thumbnailViewShowsPictures();
    void thumbnailOfOutdatedListingDropped();
};

} // namespace korvane::ui::test
