#include "platform/named_object.h"

#include <utility>

// What the two systems' named objects share: ownership moves the same way on both.

// ---- SharedView -------------------------------------------------------------------------

SharedView::~SharedView() {
  reset();
}

SharedView::SharedView(SharedView&& other) noexcept
    : data_(other.data_),
      size_(other.size_),
      fd_(std::move(other.fd_)),
      creator_(other.creator_),
      alive_name_(std::move(other.alive_name_)) {
  other.data_ = nullptr;
  other.size_ = 0;
  other.creator_ = false;
}

SharedView& SharedView::operator=(SharedView&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = other.data_;
    size_ = other.size_;
    fd_ = std::move(other.fd_);
    creator_ = other.creator_;
    alive_name_ = std::move(other.alive_name_);
    other.data_ = nullptr;
    other.size_ = 0;
    other.creator_ = false;
  }
  return *this;
}

// ---- SharedMemory -----------------------------------------------------------------------

SharedMemory::~SharedMemory() {
  reset();
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      size_(other.size_),
      read_only_(other.read_only_),
      creator_(other.creator_),
      name_(std::move(other.name_)) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::move(other.fd_);
    size_ = other.size_;
    read_only_ = other.read_only_;
    creator_ = other.creator_;
    name_ = std::move(other.name_);
  }
  return *this;
}
