// SipHash-1-3 against published vectors, and the key fingerprint built on it.

#include "store/fingerprint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace marrow::store {
namespace {

// SipHash-1-3 of the messages 00, 00 01, ..., 00 .. len-1 under the key
// 00 01 .. 0f (k0 = 0x0706050403020100, k1 = 0x0f0e0d0c0b0a0908), as
// produced by the reference implementation.
constexpr uint64_t kVectorsKey0To15[64] = {
    0xabac0158050fc4dc, 0xc9f49bf37d57ca93, 0x82cb9b024dc7d44d,
    0x8bf80ab8e7ddf7fb, 0xcf75576088d38328, 0xdef9d52f49533b67,
    0xc50d2b50c59f22a7, 0xd3927d989bb11140, 0x369095118d299a8e,
    0x25a48eb36c063de4, 0x79de85ee92ff097f, 0x70c118c1f94dc352,
    0x78a384b157b4d9a2, 0x306f760c1229ffa7, 0x605aa111c0f95d34,
    0xd320d86d2a519956, 0xcc4fdd1a7d908b66, 0x9cf2689063dbd80c,
    0x8ffc389cb473e63e, 0xf21f9de58d297d1c, 0xc0dc2f46a6cce040,
    0xb992abfe2b45f844, 0x7ffe7b9ba320872e, 0x525a0e7fdae6c123,
    0xf464aeb267349c8c, 0x45cd5928705b0979, 0x3a3e35e3ca9913a5,
    0xa91dc74e4ade3b35, 0xfb0bed02ef6cd00d, 0x88d93cb44ab1e1f4,
    0x540f11d643c5e663, 0x2370dd1f8c21d1bc, 0x81157b6c16a7b60d,
    0x4d54b9e57a8ff9bf, 0x759f12781f2a753e, 0xcea1a3bebf186b91,
    0x2cf508d3ada26206, 0xb6101c2da3c33057, 0xb3f47496ae3a36a1,
    0x626b57547b108392, 0xc1d2363299e41531, 0x667cc1923f1ad944,
    0x65704ffec8138825, 0x24f280d1c28949a6, 0xc2ca1cedfaf8876b,
    0xc2164bfc9f042196, 0xa16e9c9368b1d623, 0x49fb169c8b5114fd,
    0x9f3143f8df074c46, 0xc6fdaf2412cc86b3, 0x7eaf49d10a52098f,
    0x1cf313559d292f9a, 0xc44a30dda2f41f12, 0x36fae98943a71ed0,
    0x318fb34c73f0bce6, 0xa27abf3670a7e980, 0xb4bcc0db243c6d75,
    0x23f8d852fdb71513, 0x8f035f4da67d8a08, 0xd89cd0e5b7e8f148,
    0xf6f4e6bcf7a644ee, 0xaec59ad80f1837f2, 0xc3b2f6154b6694e0,
    0x9d199062b7bbb3a8,
};

// The same messages under the all-zero key, which is the fingerprint's key.
constexpr uint64_t kVectorsZeroKey[24] = {
    0xd1fba762150c532c, 0x68a914128e01e473, 0x010bac45c41e3669,
    0x4d4c9a4a8ef6e0ad, 0x7cc43f98813e4dbd, 0x5abe2169dff36275,
    0xe3c25f87624f1cdb, 0x2f098ab0c751325a, 0xead411e67ebe2eea,
    0x75927f9d95124362, 0xaf9f77a65ab51a1d, 0xfe64ce8b6617fcff,
    0xa6baf4fb0f9fe1c2, 0xa0cf3211850f8e0d, 0x7f86049379fbfe67,
    0xf30eb725bb91c9ea, 0x8972188433a5c5b7, 0x4883c49a2c009c1d,
    0xadc2c0b63044067d, 0x091f4a3329f87d19, 0x639e355ae68c0100,
    0xb17bef2cb5213239, 0xf8aeb1066236ccfe, 0x37332b1389daa4ff,
};

std::string Counting(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

uint64_t Sip(uint64_t k0, uint64_t k1, const std::string& m) {
  return SipHash13(k0, k1, reinterpret_cast<const uint8_t*>(m.data()),
                   m.size());
}

TEST(SipHash13Test, MatchesReferenceVectorsUnderKey0To15) {
  for (size_t len = 0; len < 64; ++len) {
    EXPECT_EQ(Sip(0x0706050403020100, 0x0f0e0d0c0b0a0908, Counting(len)),
              kVectorsKey0To15[len])
        << "length " << len;
  }
}

TEST(SipHash13Test, MatchesReferenceVectorsUnderZeroKey) {
  for (size_t len = 0; len < std::size(kVectorsZeroKey); ++len) {
    EXPECT_EQ(Sip(0, 0, Counting(len)), kVectorsZeroKey[len])
        << "length " << len;
  }
  // Lengths whose tail word is empty, full, or one past full.
  EXPECT_EQ(Sip(0, 0, Counting(40)), 0x95bc321ab41d8206u);
  EXPECT_EQ(Sip(0, 0, Counting(48)), 0xfe1f2445ba50237fu);
  EXPECT_EQ(Sip(0, 0, Counting(63)), 0x385d3e39e5f37359u);
}

TEST(FingerprintTest, KnownKeys) {
  EXPECT_EQ(Fingerprint("abc"), 0xef09e0f4895a251du);
  // The empty key is the single byte 0xFF.
  const uint8_t ff = 0xFF;
  EXPECT_EQ(Fingerprint(""), SipHash13(0, 0, &ff, 1));
}

TEST(FingerprintTest, IsSipHashOfKeyFollowedByFF) {
  // Covers every position of the appended 0xFF within the last word, and the
  // case where it starts a word of its own.
  for (size_t len = 0; len <= 40; ++len) {
    std::string key;
    for (size_t i = 0; i < len; ++i)
      key.push_back(static_cast<char>('a' + i % 26));
    if (len % 3 == 0 && len > 0)
      key[len / 2] = static_cast<char>(0xC3);  // bytes above 0x7F
    std::string message = key + '\xff';
    EXPECT_EQ(Fingerprint(key), Sip(0, 0, message)) << "length " << len;
  }
}

TEST(FingerprintTest, DistinguishesKeysThatDifferOnlyByTrailingBytes) {
  // The 0xFF terminator keeps "a" and "a\0" apart.
  EXPECT_NE(Fingerprint("a"), Fingerprint(std::string("a\0", 2)));
  EXPECT_NE(Fingerprint(""), Fingerprint(std::string("\0", 1)));
}

}  // namespace
}  // namespace marrow::store
