/// @file
/// The one directory below which a camera writes its images, and the checks
/// that keep every image name inside it.
#pragma once

#include <string>

#include "corvo/export.h"

namespace corvo {

/// Every character of `text` outside [A-Za-z0-9._+-] replaced by '_': a
/// peer's value substituted into a file name can add neither a directory nor
/// anything a file system or a shell reads specially.
CORVO_API std::string sanitizeFileNameText(const std::string& text);

/// The file name an image fetched from `camera` takes in a directory: the
/// base name of `asked`, or of `cameraImageName` (the name the camera gave)
/// when `asked` is "latest", as one visible component: sanitised, leading
/// dots turned into '_' (no peer makes a hidden file such as .bashrc), and
/// CAMERA-image.fits when nothing is left.
CORVO_API std::string fetchedImageName(const std::string& asked, const std::string& cameraImageName,
                                       const std::string& camera);

/// The image root of a camera: where every image is written, and the
/// checks that a name built from a pattern and peers' values stays below it.
class CORVO_API ImageRoot {
public:
    /// `root` as configured; empty means defaultRoot().
    explicit ImageRoot(std::string root);

    /// $HOME/corvo-images; without HOME, `images` in the service's state
    /// directory ($STATE_DIRECTORY, which systemd sets), else
    /// /var/lib/corvo/images.
    static std::string defaultRoot();

    /// The configured root, lexically normalised (absolute, no "." or ".."
    /// parts, no trailing '/').
    const std::string& path() const { return root; }

    /// The place of the file `name` below the root: an absolute name must lie
    /// inside the root (as configured or as resolved), a relative one is
    /// taken from the root. "." and ".." are resolved by text. On success
    /// `directory` holds the relative directory (possibly empty) and `file`
    /// the file name; otherwise `reason` says why the name is refused.
    bool place(const std::string& name, std::string& directory, std::string& file, std::string& reason) const;

    /// Opens the relative `directory` below the root, making missing parts
    /// (and the root itself), following no symbolic link below the root.
    /// Returns a descriptor the caller closes, or -1 with errno set.
    int openDirectory(const std::string& directory) const;

private:
    std::string root;
};

}  // namespace corvo
