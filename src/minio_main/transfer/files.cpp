#include "transfer/files.hpp"

#include <fcntl.h>
#include <isa-l/crc.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

namespace zarnel::transfer {

Digest::Digest(const EVP_MD* kind)
    : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  if (context_) EVP_DigestInit_ex(context_.get(), kind, nullptr);
}

void Digest::update(const void* data, std::size_t size) {
  if (context_) EVP_DigestUpdate(context_.get(), data, size);
}

std::string Digest::hex() {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context_ || EVP_DigestFinal_ex(context_.get(), value, &length) != 1) {
    return std::string();
  }
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += digits[value[i] >> 4];
    text += digits[value[i] & 15];
  }
  return text;
}

std::string sha256_hex(const std::string& data) {
  Digest digest(EVP_sha256());
  digest.update(data.data(), data.size());
  return digest.hex();
}

int open_regular(const std::string& path, std::uint64_t& size, int& error) {
  // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = not_regular;
  } else {
    size = static_cast<std::uint64_t>(status.st_size);
    return fd;
  }
  ::close(fd);
  return -1;
}

int read_for_upload(const std::string& path, std::uint64_t max_size,
                    std::uint64_t in_memory_limit, std::uint64_t& size,
                    std::string& body, std::string& sha256, std::string& crc32,
                    bool crc32_later) {
  int error = 0;
  int fd = open_regular(path, size, error);
  if (fd < 0) return error;
  bool whole = size <= max_size;
  if (!whole && crc32_later) {
    ::close(fd);
    return 0;
  }
  bool keep = size <= in_memory_limit;
  if (keep) body.reserve(size);
  Digest digest(EVP_sha256());
  std::uint32_t crc = 0;
  std::uint64_t total = 0;
  std::vector<char> buffer(whole ? 64 * 1024 : 1024 * 1024);
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      return error;
    }
    if (got == 0) break;
    auto length = static_cast<std::size_t>(got);
    if (whole) {
      digest.update(buffer.data(), length);
    } else {
      crc = crc32_update(crc, buffer.data(), length);
    }
    if (keep) body.append(buffer.data(), length);
    total += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  if (total != size) return changed;  // written to while being read
  if (whole) {
    sha256 = digest.hex();
  } else {
    crc32 = crc32_hex(crc);
  }
  return 0;
}

std::uint32_t crc32_update(std::uint32_t crc, const void* data,
                           std::size_t size) {
  return static_cast<std::uint32_t>(
      ::crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size));
}

std::uint32_t crc32_join(std::uint32_t first, std::uint32_t second,
                         std::uint64_t second_size) {
  return static_cast<std::uint32_t>(
      ::crc32_combine(first, second, static_cast<z_off_t>(second_size)));
}

std::string crc32_hex(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", crc);
  return text;
}

bool crc32_matches(const std::string& stored, std::uint32_t crc) {
  std::string want = crc32_hex(crc);
  std::string have;
  for (char c : stored) {
    if (c != ' ' && c != '\t') {
      have += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return have == want;
}

int create_temporary(const std::string& target, std::string& temp_path) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string::size_type slash = target.rfind('/');
  std::string directory =
      slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".zarnel-%016llx.part",
                  static_cast<unsigned long long>(random()));
    temp_path = directory + name;
    int fd = ::open(temp_path.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int make_directories(const std::string& directory) {
  std::string path;
  std::string::size_type from = 0;
  while (from <= directory.size()) {
    std::string::size_type slash = directory.find('/', from);
    if (slash == std::string::npos) slash = directory.size();
    path = directory.substr(0, slash);
    from = slash + 1;
    if (path.empty()) continue;
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno;
  }
  struct stat status;
  if (!directory.empty() && ::stat(directory.c_str(), &status) == 0 &&
      !S_ISDIR(status.st_mode)) {
    return ENOTDIR;
  }
  return 0;
}

}  // namespace zarnel::transfer
