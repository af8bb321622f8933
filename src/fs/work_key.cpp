#include "fs/work_key.h"

#include <exception>
#include <random>

#include "text/text.h"

namespace ovpre {

namespace {

constexpr std::size_t kKeyBytes = 16;

uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t LittleEndian(const unsigned char* p, std::size_t n) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
  return value;
}

struct SipState {
  uint64_t v0, v1, v2, v3;
  void Round() {
    v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
    v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
  }
  void Absorb(uint64_t m) {
    v3 ^= m;
    Round();
    Round();
    v0 ^= m;
  }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string NewWorkKeyText() {
  try {
    std::random_device source;
    std::string text;
    for (std::size_t i = 0; i < kKeyBytes / 4; ++i) {
      text += Hex16(static_cast<uint32_t>(source())).substr(8);
    }
    return text;
  } catch (const std::exception&) {
    return "";  // no random source: no key, and nothing found is trusted
  }
}

WorkKey WorkKeyFromText(const std::string& text) {
  if (text.size() != 2 * kKeyBytes) return "";
  WorkKey key;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return "";
    key += static_cast<char>(high * 16 + low);
  }
  return key;
}

uint64_t KeyedHash(const WorkKey& key, const std::string& data) {
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const uint64_t k0 = key.size() == kKeyBytes ? LittleEndian(k, 8) : 0;
  const uint64_t k1 = key.size() == kKeyBytes ? LittleEndian(k + 8, 8) : 0;
  SipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull,
             k0 ^ 0x6c7967656e657261ull, k1 ^ 0x7465646279746573ull};
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t whole = data.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) s.Absorb(LittleEndian(p + i, 8));
  s.Absorb(LittleEndian(p + whole, data.size() - whole) |
           (static_cast<uint64_t>(data.size()) << 56));
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::string IdBytes(const FileId& id) {
  return Hex16(id.volume) + Hex16(id.file);
}

}  // namespace ovpre
