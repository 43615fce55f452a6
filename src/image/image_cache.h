#pragma once

#include <cstdint>
#include <string>

// Inflated images live in the downloads folder, each beside a small record of the archive it was
// made from. An image is trusted only while its record matches that archive as it is now and the
// image's own size: a leftover, truncated or foreign file of the same name is made again.
struct image_source {
    std::string archive;   // the gzip archive
    std::string image;     // where its inflated image lives
    bool archive_is_ours;  // a download of ours: removed when damaged, so the next run fetches it anew
    // Made or found current by this run under the folder lock: used as it is, even when its
    // archive has since gone (another run cleared older releases from the cache).
    bool made_by_this_run = false;
};

namespace image_cache {

// A downloaded archive "<downloads>/<tag>.gz": its image is "<downloads>/<tag>".
image_source for_download(const std::string& archive);
// An archive the user named: it is read and never touched, and its image goes into the downloads
// folder under a name made from the archive's identity, never beside it. Empty image name when the
// archive cannot be read.
image_source for_local_archive(const std::string& archive, const std::string& downloads_folder);

std::string record_path(const std::string& image);
// A name beside final_path that only this run uses; ends in ".part".
std::string temporary_name(const std::string& final_path);

// What identifies the archive as it is now (size, modification time, last eight bytes); empty when
// it cannot be read. Taken before the archive is read, so that a record never claims an archive
// that was replaced while it was being inflated.
std::string identity_of(const std::string& archive);

// The image exists, and its record names the archive as it is now and the image's size.
bool is_current(const image_source& source);
// Whether the image may be used without making it: current, or made by this run and still there.
bool is_usable(const image_source& source);
// Notes that the image was used now, for the pruning below.
void touch(const image_source& source);
// Writes the record of a freshly inflated image (still under its temporary name) and publishes
// both: every byte is on the disk before the final names appear, and the record appears last.
// content_crc is the image's CRC-32 with its configuration area counted as zeros (see crc_with_gap):
// runs write their own text there, and everything else must stay as it was inflated.
bool publish(const image_source& source, const std::string& identity, const std::string& temporary_image,
             int64_t image_size, uint32_t content_crc);
// The content CRC the record promises; false when the record has none.
bool recorded_crc(const image_source& source, uint32_t& crc);
// The CRC-32 of size bytes whose CRC is whole, had the gap_size bytes gap at gap_offset been zeros.
uint32_t crc_with_gap(uint32_t whole, uint64_t size, uint64_t gap_offset, const unsigned char* gap, size_t gap_size);
// Removes the image and its record (the record first, so that nothing half-removed is trusted).
void discard(const image_source& source);

// Marks an image as used by this process while it lives: no other run's clean-up removes it. Take
// it with the folder lock held, or on an image nobody else may remove yet.
class hold {
public:
    explicit hold(const std::string& image);
    ~hold();
    hold(const hold&) = delete;
    hold& operator=(const hold&) = delete;

private:
    std::string m_path;
};
// Whether a live run holds the image (holds of runs that died are removed on the way).
bool is_held(const std::string& image);

// Call with the folder lock held, once the latest release tag is known. Removes the archive, and
// with it its image and record; an image a live run holds stays until it is let go.
void remove_release(const std::string& archive);
// Removes the images (and records) of releases whose archives are gone: every file of the folder
// that is not an archive, a temporary, a record, an image of a local archive or hidden, whose name
// does not contain tag and that no live run holds.
void remove_orphaned_images(const std::string& downloads_folder, const std::string& tag);

// Call with the folder lock held. Removes temporaries of runs that died (also those of the settings
// file in the folder above), and keeps the images made
// from the user's own archives to the few used last: at most keep_local of them, none unused for a
// week, but never one used within the last hour (a run may be writing from it).
void clean(const std::string& downloads_folder, const std::string& in_use_image, int keep_local = 2);

} // namespace image_cache
