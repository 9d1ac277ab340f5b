// A data image (the main data image, the info data image) that channel
// operations read while the operator may replace it. An operation keeps the
// image as it was when it started (a snapshot, shared until someone writes);
// a writer gets an image of its own first while an operation still holds the
// current one, so what an operation sends never changes under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestra::console {

class DataImage {
 public:
  using Snapshot = std::shared_ptr<const std::vector<uint8_t>>;

  explicit DataImage(std::size_t size) : bytes_(std::make_shared<std::vector<uint8_t>>(size)) {}

  std::size_t size() const { return bytes_->size(); }
  // For reading; valid until the next write.
  const uint8_t* data() const { return bytes_->data(); }
  uint8_t operator[](std::size_t i) const { return (*bytes_)[i]; }

  // For writing: the image becomes this one's own first when a snapshot of it
  // is held.
  uint8_t* get() {
    if (bytes_.use_count() > 1) bytes_ = std::make_shared<std::vector<uint8_t>>(*bytes_);
    return bytes_->data();
  }
  uint8_t& operator[](std::size_t i) { return get()[i]; }

  // The image as it stands now, for an operation to keep.
  Snapshot Keep() const { return bytes_; }

 private:
  std::shared_ptr<std::vector<uint8_t>> bytes_;
};

}  // namespace kestra::console
