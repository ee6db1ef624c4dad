// secret: bytes in storage of their own, wiped when they go.
#include "pexpect_custom/secret.hpp"

#include <algorithm>
#include <ostream>

#include "io/wipe.hpp"

namespace pexpect_custom {

namespace detail {

void wipe_bytes(char* data, std::size_t size) noexcept {
  volatile char* bytes = data;
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

}  // namespace detail

namespace {

std::unique_ptr<char[]> copy_of(std::string_view bytes) {
  if (bytes.empty()) return nullptr;
  auto copy = std::make_unique_for_overwrite<char[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

}  // namespace

secret::secret(std::string_view bytes) : bytes_(copy_of(bytes)), size_(bytes.size()) {}

secret::secret(std::string&& bytes) : secret(std::string_view(bytes)) {
  // The whole capacity: bytes past the end may be left over from an earlier, longer value.
  bytes.resize(bytes.capacity());
  detail::wipe_bytes(bytes.data(), bytes.size());
  bytes.clear();
}

secret::secret(const secret& other) : secret(other.reveal()) {}

secret::secret(secret&& other) noexcept : bytes_(std::move(other.bytes_)), size_(other.size_) {
  other.size_ = 0;
}

secret& secret::operator=(const secret& other) {
  if (this != &other) *this = secret(other);
  return *this;
}

secret& secret::operator=(secret&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    other.size_ = 0;
  }
  return *this;
}

secret::~secret() {
  wipe();
}

void secret::wipe() noexcept {
  if (bytes_) detail::wipe_bytes(bytes_.get(), size_);
  bytes_.reset();
  size_ = 0;
}

std::ostream& operator<<(std::ostream& out, const secret&) {
  return out << secret::mask;
}

}  // namespace pexpect_custom
