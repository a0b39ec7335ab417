// MurmurHash3 x86_32 against the reference's published vectors (each also what mmh3 gives).
#include "murmur_hash3.h"

#include <gtest/gtest.h>

#include <string>

namespace lumo::typing::text {
namespace {

struct HashCase {
  const char* name;
  std::string data;
  std::uint32_t seed;
  std::uint32_t expected;
};

class MurmurHash3 : public ::testing::TestWithParam<HashCase> {};

TEST_P(MurmurHash3, MatchesTheReference) {
  EXPECT_EQ(murmur_hash3_x86_32(GetParam().data, GetParam().seed), GetParam().expected);
}

// Every tail length (0 to 3 bytes after the blocks), seeds that reach the finaliser alone, and
// bytes above 0x7f, which a signed char would sign-extend into the wrong value.
INSTANTIATE_TEST_SUITE_P(
    Vectors, MurmurHash3,
    ::testing::Values(HashCase{"Empty", "", 0, 0},
                      HashCase{"EmptySeedOne", "", 1, 0x514e28b7u},
                      HashCase{"EmptySeedAllOnes", "", 0xffffffffu, 0x81f16f39u},
                      HashCase{"ZeroBlock", std::string(4, '\0'), 0, 0x2362f9deu},
                      HashCase{"HighBlock", std::string(4, '\xff'), 0, 0x76293b50u},
                      HashCase{"TailOne", "a", 0x9747b28cu, 0x7fa09ea6u},
                      HashCase{"TailTwo", "aa", 0x9747b28cu, 0x5d211726u},
                      HashCase{"TailThree", "aaa", 0x9747b28cu, 0x283e0130u},
                      HashCase{"OneBlock", "aaaa", 0x9747b28cu, 0x5a97808au},
                      HashCase{"OneBlockMixed", "abcd", 0x9747b28cu, 0xf0478627u},
                      HashCase{"BlocksAndTail", "Hello, world!", 0x9747b28cu, 0x24884cbau},
                      HashCase{"Sentence", "The quick brown fox jumps over the lazy dog", 0x9747b28cu, 0x2fa826cdu},
                      HashCase{"Utf8", "\xe6\x88\x91\xe6\x9d\xa5\xe5\x88\xb0\xe5\x8c\x97\xe4\xba\xac\xe6\xb8\x85\xe5\x8d\x8e"
                                       "\xe5\xa4\xa7\xe5\xad\xa6", 0, 0xc8cbb113u},
                      HashCase{"HighTail", "\x80\xc3", 0, 0xcb0f7476u}),
    [](const ::testing::TestParamInfo<HashCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace lumo::typing::text
