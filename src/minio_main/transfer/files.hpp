// Local-file steps of the engine: digests, the temporary file of a download.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zarnel::transfer {

// An OpenSSL digest being computed.
class Digest {
 public:
  explicit Digest(const EVP_MD* kind);
  void update(const void* data, std::size_t size);
  std::string hex();  // ends the digest

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
};

std::string sha256_hex(const std::string& data);

// A file stored in parts carries the CRC-32 (gzip's and zlib's polynomial,
// as Python's zlib.crc32 gives it) of its whole content in this header, as
// eight lower-case hex digits: its ETag is no MD5 of the content, and a
// CRC-32 costs a fraction of an MD5's CPU per byte (ISA-L's, a fortieth).
constexpr const char* crc32_header = "x-amz-meta-zarnel-crc32";
std::uint32_t crc32_update(std::uint32_t crc, const void* data,
                           std::size_t size);
// The CRC-32 of two pieces joined, from each one's and the second's length.
std::uint32_t crc32_join(std::uint32_t first, std::uint32_t second,
                         std::uint64_t second_size);
std::string crc32_hex(std::uint32_t crc);
// Whether the header's text `stored` names `crc` (any case, blanks aside).
bool crc32_matches(const std::string& stored, std::uint32_t crc);

// What read_for_upload() and open_regular() answer besides 0 and an errno.
constexpr int not_regular = -1;  // no longer a regular file
constexpr int changed = -2;      // its size changed while it was read

// The file at `path` read into `body` (when it is at most `in_memory_limit`
// bytes) and its SHA-256; 0, an errno, `not_regular` or `changed`. `size` is
// the file's size when it was opened; a file larger than `max_size` is read
// for its CRC-32 alone (`sha256` stays empty, `crc32` is set), or not read
// at all when `crc32_later` (a resumed upload takes it only if it starts
// anew).
int read_for_upload(const std::string& path, std::uint64_t max_size,
                    std::uint64_t in_memory_limit, std::uint64_t& size,
                    std::string& body, std::string& sha256, std::string& crc32,
                    bool crc32_later = false);

// The regular file at `path` opened for reading without blocking on what is
// not one (a FIFO swapped in, say): the descriptor, or -1 with `error` set
// to an errno or `not_regular`; its size in `size`.
int open_regular(const std::string& path, std::uint64_t& size, int& error);

// A new file beside `target`, created exclusively and not through a link,
// with the mode of any new file, open for writing and reading back; its path
// in `temp_path`. The descriptor, or -1 with errno set.
int create_temporary(const std::string& target, std::string& temp_path);

// Makes `directory` and its parents like os.makedirs(exist_ok=True); 0 or the
// errno of what failed.
int make_directories(const std::string& directory);

}  // namespace zarnel::transfer
