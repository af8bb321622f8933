// The SHA-256 digest of what a copy wrote, through the CryptoAPI (its
// SHA-256 provider is there from Windows XP SP3 on).
#include "os/win32/io.h"

#include <wincrypt.h>

#include <vector>

namespace ovpre {

namespace {

/// Bytes per call.
constexpr std::size_t kChunk = 1u << 20;

}  // namespace

ContentDigest::ContentDigest() {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  failed_ = !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES,
                                  CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
            !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  provider_ = provider;
  hash_ = hash;
}

ContentDigest::~ContentDigest() {
  if (hash_) CryptDestroyHash(static_cast<HCRYPTHASH>(hash_));
  if (provider_) CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
}

void ContentDigest::Add(const char* data, std::size_t size) {
  while (!failed_ && size > 0) {
    const DWORD step = size < kChunk ? static_cast<DWORD>(size) : static_cast<DWORD>(kChunk);
    failed_ = !CryptHashData(static_cast<HCRYPTHASH>(hash_),
                             reinterpret_cast<const BYTE*>(data), step, 0);
    data += step;
    size -= step;
  }
}

void ContentDigest::AddZeros(uint64_t count) {
  static const std::vector<char> zeros(kChunk, '\0');
  while (count > 0) {
    const std::size_t step = count < kChunk ? static_cast<std::size_t>(count) : kChunk;
    Add(zeros.data(), step);
    count -= step;
  }
}

std::string ContentDigest::Finish() {
  BYTE value[32] = {};
  DWORD size = sizeof value;
  if (failed_ || !CryptGetHashParam(static_cast<HCRYPTHASH>(hash_), HP_HASHVAL, value, &size, 0)) {
    return "";
  }
  return std::string(reinterpret_cast<const char*>(value), size);
}

FsStatus DigestOf(HANDLE file, std::string* digest) {
  const LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return LastStatus();
  ContentDigest content;
  const FsStatus read = ReadInBlocks(file, [&](const char* data, std::size_t size) {
    content.Add(data, size);
    return true;
  });
  *digest = content.Finish();
  return read;
}

}  // namespace ovpre
