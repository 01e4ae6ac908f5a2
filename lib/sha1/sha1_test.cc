#include "sha1/sha1.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

// Digests computed with coreutils sha1sum of pattern(n), n = 0 .. 130.
const char *const known[] = {
    "da39a3ee5e6b4b0d3255bfef95601890afd80709",
    "9842926af7ca0a8cca12604f945414f07b01e13d",
    "1f5ae6b976eaa448d6756c593ceb816ac8799ef1",
    "4201de9f98cb0a9b8cf52398be7802b55d45266a",
    "a9ca94e2a9be52cdcef145facf2bad04e553cb0b",
    "941f194daa0adbdf8582dbf3691a6288329d2be6",
    "984329883856c39f7dd78b88bcfb49eefc9be989",
    "8f61e051db8f5bfa67d8eff0c40cf868f68e70bb",
    "cef03cc4db41ecf2c7956e8b06dc6b0b8015f260",
    "6cad7098fc6c42a32b5fe6536f157ff570772cd0",
    "a00e488320a5f5536afc79a976ec22cf7aebbd97",
    "0a3a1e6ce197c09607b8ddc9637dcaa223459182",
    "74c2e2bfd179cc0901f88ca7b8bed52ebcd7d849",
    "5b656bff036821f5174daba9580c139a6d74da15",
    "0b32b3246891c1ce11d68e4b5e803490a7cd1b63",
    "b02b80eaa1a78b076120457b296be0d347eeb194",
    "3bbec6217ac9bf7c9c4642b1bdeb3ae68d99f787",
    "2dbde31cfe98dd4a93eb056f157f8cabb01db443",
    "5cd1599bbf20aa54712f37bd18ae4b464c59d299",
    "90226ee11311d80cfae27605808403960856e50d",
    "57ab1094cc2a57d9f64818d2eb92750aab1bf177",
    "565cce1992fa0e88bf04e798764a6d2d26ea1dc3",
    "b7f16efc74e3224c94bc344c6bafabb7e11d977a",
    "fa9329dda1c904fb2c9ef99cdd87561526d80913",
    "1aae7a798319ed16a198e92401e7eed36cd1a51b",
    "9ade5333be4a9674e7ac5b12ddac8240f7783da2",
    "6d3ce948a92cfb30d8c9da8af8a088154549e0ea",
    "78440d05a24e2b53d2ee8a66c6d9507fc42cc431",
    "c9a77289303864dc3e15adf071745fef286a70b2",
    "96fb3a3053d47fd59e775fd21c27c3835f164188",
    "a97984db177660175eea1dbe18dbc376808b5ee3",
    "d21a51503aa50e23029493030a1d0704a84cb2ea",
    "64b5168088b6692cfd749ab0b699a8b5b225189b",
    "66f198bd988723981464f3e589667631c29d174d",
    "d828aab123a8df09bb66c6ff5d46e444e52225d8",
    "20d1062373e60ddb02daf0a2bb9dc4893a5a3482",
    "e84e44766b5f4cb28f9005a9bcc61f0414f7723f",
    "66787c668baba43a4574ca4db54cbb65f78fd9d5",
    "b82977dee0782cb1c424be3ca1b6fefa60ac600c",
    "9ac81eef4e53dfd5df78dc615f4685c18957b291",
    "211f8d2930f827e5c7a66cd81d79c1d2df12ea6b",
    "07db78a9a0bf346e34553dedd45854cb36df8185",
    "bc152a0c16257c31d861e4de5788878b02e18850",
    "42ffa53d886bdf8abb72fe633ec6bb176fca1047",
    "90963fb5f385b944c30a85cedc11f0c775314a29",
    "7e5ad6079ab50b53bd400c0bed369f5cca092881",
    "d23cd18dc6bb13fc18b37318035169d7daf3ecda",
    "5e3cf47f3d208b1dceb06f8a37e58236e5ad2fc0",
    "9aa97c403db44000cf9601a20a6e0d4fe4e94a01",
    "f873554e96c4fd00c3b3446c74005afe81d85b22",
    "996be45cd0e8a24b6eb052c5b174bad6c2151f03",
    "3e0ea15235a8dd08343c0ecbb2f7a3974f521857",
    "937beca28580f3ff31d4ef88653801349179ac7a",
    "f163c6b4b97324d118ed451c94625aef0d0a6fb6",
    "0617d0e2db51b03d5d09c217b3fe0643ed6d152f",
    "ddf57317ef34bfee3b6df83d359098930eb278bc",
    "a0d492bb0fc889d0eca3bc137066ab6f4f74f369",
    "11a02dcf95859677a62e75024067c22b165d890f",
    "3d6024b3f7b1c01a5c62497022ea6e33b89d2cf3",
    "5850f256241b06d25bc20b9dc85d7944ce96fa1a",
    "4a72dc48088734d6ee17cccbb158de29744e9733",
    "92b2db0c849997e88b21b8a509eecaa46f00c6b8",
    "363c4d8b28918eacfb4b945bafd31cb62997a5cd",
    "c55856749bef509bdfe6bfebfc7bf4e793e82132",
    "bede92be29c3874e1b54ddc77988d606fc857a8e",
    "b05a80522b053d6dc7e0a517d0e70212c7dad11f",
    "13e53bec6f6ee5a157a4f62ad14f702bf9f6d167",
    "8d39d341da28ed21be3ca08ec2cfb6c4a4be99ed",
    "3efec55489106fcde5552290bb4bc2bcda30f9ba",
    "831e22c83fef344e627b1d20181d77d0984fafea",
    "3e7e19ea8f559bd1f5c97e46f0ae082c4bcd6244",
    "b4d320ff238a99c0963778c340387bc1c61f5cd7",
    "191cf09722d8a449820c9c66b122b8434a68dcea",
    "c2234319c0056fe3d74053e1ce14faf00dee5df4",
    "2e96fc5182863f989f79ed28c46558295030d50d",
    "0afbbbe6e731ab70338bf972766211eacffd0e79",
    "4486860ad2702b492f17e07e43d99474964a6348",
    "7ad89da645724916b0e70f8db3fb48382d970867",
    "2a013aba1ee3deceddcdc2ed426f3bc26be4f94b",
    "6a6dfd5130d56d92374a53d0c03356da772a10aa",
    "de25ce79b8cf13016c12d081f399f9b427af4cbb",
    "c73933e543f4daeceb08b990f257a61e6139f039",
    "a0e9c80c67a1cc955341e50b6006b0690eaa8807",
    "22d464b043d3c8eb9025cb7497e4eacfe0aadb96",
    "1f2c174a3687d3b1118a138779f254273fc78f6c",
    "bd7be1e0cdb0a911bae7eef171d31bafb47435e8",
    "56e1fe537ae2c59e52eeee83b5efa9185b15dc5c",
    "2e114dfa3f54bf19f2d132aa8ec7521ef722bd35",
    "b0c561b691887c08a09879869f578afc6248b36a",
    "2b5f3e1bfd79e003926a6d743cb85c7543fed63c",
    "08e751b39f177186ac60873de02326e05b785eb6",
    "94afe1d3144f0288e2f3e86a2c831d6e5b1fd365",
    "2fefc0ee2f4f40f5946efe1ddcdeefd137c1c36d",
    "9410400eed4b3c11fc722cdd6211d33b4043e6cb",
    "cd7e7ea8dce332643b93d8899454c5e2ee5434da",
    "9e7bd6ac0eb591be8919e506dbf0725cb84a432e",
    "dec7fa16b8b6ec5a3515e4a746d0d66c2bdb44e1",
    "3a4f06a74c1e38308a0a8af4ecd22ccfc6d12948",
    "5c546fb0ff4593361b19b8f5eb2a9d36cf790911",
    "cf19877413ac8cb6c116536f3b8ea85523e6303e",
    "be7fd41586f415665d261af19613a4ba6f4346bb",
    "2ae428c5f5dfaff2dd18ce373895c4b0f63e71a4",
    "8b258ff38e0bec341461fe7a389c58e94a6902ff",
    "6c31104718ea0d8a5dddb0999465f4af5b5bbf91",
    "dfaa234fa35d3d5fc1b197a297e1cc85c4a7a474",
    "8f9a47272286be5b250b61a5b15f90b85caf6ac3",
    "bfd965ad51f29ca661470907f62394cd17b0c4e9",
    "7f5936f7be3cf34d607cfce675b831d27af2aa68",
    "23ecf83dabecb06b2b768dd0cd86ce1210e9e8e1",
    "5e48479854b5991bf840e23f7bbe55535e67a23c",
    "37e815835e4c8b9642d3b628de7051502befa59a",
    "4a01b1272627e5be00f57bc3c3029c23a452e629",
    "54c08c2a0ed21de25e3d8606c3929454eb1d3f8b",
    "9f359093c0426170a6d53fdfb89679b592d8ebac",
    "02a464094db5da39cf309cd80cf96dd18465599d",
    "fe35da50128fed6999d312c58d79f2324ecba58d",
    "11ee9de3ca106edcfcecc00f160d97e6b0cc33f7",
    "90b79e0bc3eb8d92af29b371e44e16d91a98cfa1",
    "55bfbde27c9acb13670a70e765a687b2da3435fc",
    "504e27376a6e0f0dba8295b85cb25dc4dfa17d23",
    "82134b02fb3f702491be9bed581eeab59334acb2",
    "f004a54c50aa3705ccc2f03f21016ca6a25755cb",
    "cfca83c0711fd2164e886c60ec33b69a7e9a68f0",
    "4753b07e7c0e0d418bed1370adca81d099a41e88",
    "3132eb444ed5ea62a86fb0a5a1159550e16ee30e",
    "a46f230aaf987f4db2bb3501116392e684d29b76",
    "35f63e21348461ef967e9f37207a56e62701218e",
    "34d5e582029e9b9b85b2febe31da3db7cdabaaea",
    "a09133e6730ffe899efb70204cb5646cd5dc24ee",
    "808aea332ce367541d37adae7f94e59c5c1a934e",
    "6e95f38fbdd38454ab4370ca87d628b526515950",
};

std::string
pattern(size_t n)
{
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++)
    s[i] = char((i * 7 + 3) & 255);
  return s;
}

std::string
hex(const uint8_t *d)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < SHA1_LEN; i++) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string
digest(const std::string &m)
{
  uint8_t out[SHA1_LEN];
  return hex(sha_buf(m.data(), int32_t(m.size()), out));
}

// The state words as the digest's bytes.
std::string
hex_state(const uint32_t st[5])
{
  uint8_t d[SHA1_LEN];
  for (int i = 0; i < 5; i++)
    for (int j = 0; j < 4; j++)
      d[4 * i + j] = uint8_t(st[i] >> (24 - 8 * j));
  return hex(d);
}

// m and its padding: the blocks whose compression from the initial state
// leaves the digest of m.
std::string
padded(const std::string &m)
{
  std::string p = m;
  p += char(0x80);
  while (p.size() % 64 != 56)
    p += '\0';
  uint64_t bits = uint64_t(m.size()) * 8;
  for (int i = 7; i >= 0; i--)
    p += char(bits >> (8 * i));
  return p;
}

constexpr uint32_t h0[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
                            0xc3d2e1f0};

// Bytes at an offset from the start of an allocation that ends right after
// them, so that a block function reading past the end or before the start
// trips the address sanitizer, and a misaligned load shows.
class placed {
 public:
  placed(const std::string &bytes, size_t off) : mem_(off + bytes.size())
  {
    if (!bytes.empty())
      memcpy(mem_.data() + off, bytes.data(), bytes.size());
    p_ = mem_.data() + off;
  }
  const uint8_t *get() const { return p_; }

 private:
  std::vector<uint8_t> mem_;
  const uint8_t *p_;
};

// Runs the body once with each block function this processor has, so both
// the portable and the accelerated transform are held to the same digests.
class Sha1Both : public testing::TestWithParam<int> {
 protected:
  void SetUp() override
  {
    if (sha1_select(GetParam()) != GetParam())
      GTEST_SKIP() << "no SHA extensions on this processor";
  }
  void TearDown() override { sha1_select(1); }
};

INSTANTIATE_TEST_SUITE_P(Transform, Sha1Both, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &i) {
                           return std::string(i.param ? "Accel" : "Portable");
                         });

}  // namespace

TEST_P(Sha1Both, KnownLengths) {
  static_assert(sizeof known / sizeof known[0] == 131);
  for (size_t n = 0; n <= 130; n++)
    EXPECT_EQ(known[n], digest(pattern(n))) << "length " << n;
}

TEST_P(Sha1Both, StandardVectors) {
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digest("abc"));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
            digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f",
            digest(std::string(1000000, 'a')));
}

// Every way of cutting a message into two or three pieces gives the digest
// of the whole, whether the pieces fill the partial block or pass whole
// blocks straight through.
TEST_P(Sha1Both, SplitUpdates) {
  const std::string m = pattern(300);
  const std::string want = digest(m);
  for (size_t i = 0; i <= m.size(); i++) {
    for (size_t j = i; j <= m.size(); j += 37) {
      sha1_ctx ctx;
      sha1_init(&ctx);
      sha1_update(&ctx, m.data(), int32_t(i));
      sha1_update(&ctx, m.data() + i, int32_t(j - i));
      sha1_update(&ctx, m.data() + j, int32_t(m.size() - j));
      uint8_t out[SHA1_LEN];
      sha1_final(&ctx, out);
      ASSERT_EQ(want, hex(out)) << "cut at " << i << " and " << j;
    }
  }
  // Byte by byte, through the partial block only.
  sha1_ctx ctx;
  sha1_init(&ctx);
  for (char ch : m)
    sha1_update(&ctx, &ch, 1);
  uint8_t out[SHA1_LEN];
  sha1_final(&ctx, out);
  EXPECT_EQ(want, hex(out));
}

// The transform is the bare compression function: the first block of
// "abc" padded by hand, from the initial state.
TEST_P(Sha1Both, TransformOneBlock) {
  uint8_t block[64] = {'a', 'b', 'c', 0x80};
  block[63] = 24;
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_transform(&ctx, block);
  const uint32_t want[5] = {0xa9993e36, 0x4706816a, 0xba3e2571, 0x7850c26c,
                            0x9cd0d89d};
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(want[i], ctx.state[i]) << "word " << i;
}

// Every accelerated transform the processor has, not only the fastest
// that the digests use, over runs of blocks that it may take apart
// differently at the start and the end.
TEST(Sha1, BothTransformsAgreeOnManyBlocks) {
  sha1_blocks_fn fns[SHA1_ACCELS_MAX];
  int n = sha1_accels(fns);
  if (n == 0)
    GTEST_SKIP() << "no SHA extensions on this processor";
  EXPECT_EQ(fns[0], sha1_blocks_accel());
  std::string m = pattern(64 * 1000);
  for (size_t i = 0; i < m.size(); i += 13)
    m[i] = char(m[i] ^ (i >> 5));
  const uint8_t *p = reinterpret_cast<const uint8_t *>(m.data());
  for (int f = 0; f < n; f++) {
    for (size_t blocks : {0, 1, 2, 3, 1000}) {
      uint32_t a[5] = {1, 2, 3, 4, 5}, b[5] = {1, 2, 3, 4, 5};
      sha1_blocks_portable(a, p, blocks);
      fns[f](b, p, blocks);
      EXPECT_EQ(0, memcmp(a, b, sizeof a)) << f << ": " << blocks;
    }
  }
}

TEST(Sha1, FinalWithoutOutput) {
  uint8_t out[SHA1_LEN];
  memset(out, 0xaa, sizeof out);
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, "abc", 3);
  sha1_final(&ctx, nullptr);
  for (uint8_t b : out)
    ASSERT_EQ(0xaa, b);
}

using ShaFile = TmpDirTest;

// Sizes around the read buffer and the block: each is read in pieces of
// whatever the system returns and must equal the buffer digest.
TEST_F(ShaFile, MatchesBuffer) {
  for (size_t n :
       {size_t(0), size_t(1), size_t(8197), size_t(131072), size_t(131073),
        size_t(300001), size_t(655359), size_t(655360), size_t(17 << 20) + 3}) {
    std::string m = pattern(n);
    write_file(path("f"), m);
    uint8_t out[SHA1_LEN];
    ASSERT_EQ(out, sha_file(path("f").c_str(), out)) << "size " << n;
    EXPECT_EQ(digest(m), hex(out)) << "size " << n;
  }
  uint8_t out[SHA1_LEN];
  write_file(path("f"), pattern(8197));
  sha_file(path("f").c_str(), out);
  EXPECT_EQ("3022072ffe1879e9b423cafe6f456efa29e7779d", hex(out));
}

TEST_F(ShaFile, MissingLeavesOutput) {
  uint8_t out[SHA1_LEN];
  memset(out, 0x5a, sizeof out);
  errno = 0;
  EXPECT_EQ(nullptr, sha_file(path("none").c_str(), out));
  EXPECT_EQ(ENOENT, errno);
  for (uint8_t b : out)
    ASSERT_EQ(0x5a, b);
}

// A read error (here: reading a directory) fails with the read's errno.
TEST_F(ShaFile, ReadErrorFails) {
  uint8_t out[SHA1_LEN];
  errno = 0;
  EXPECT_EQ(nullptr, sha_file(dir_.c_str(), out));
  EXPECT_EQ(EISDIR, errno);
}

// sha_fd reads from the current offset and leaves the descriptor open.
TEST_F(ShaFile, FdFromOffset) {
  write_file(path("f"), "xyabc");
  int fd = open(path("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(2, lseek(fd, 2, SEEK_SET));
  uint8_t out[SHA1_LEN];
  ASSERT_EQ(out, sha_fd(fd, out));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex(out));
  EXPECT_EQ(0, close(fd));
}

// A file that shrinks while it is read (here: once the first buffer has
// been handed over) ends where it now ends: nothing is read again, and no
// restart is asked for, so a null one will do.
TEST_F(ShaFile, ShrinkingWhileReadEndsSooner) {
  struct reader {
    int fd;
    int pieces;
    sha1_ctx ctx;
  };
  auto feed = [](const uint8_t *buf, size_t n, void *arg) {
    reader *r = static_cast<reader *>(arg);
    if (++r->pieces == 1) {
      ASSERT_EQ(0, ftruncate(r->fd, 300000));
    }
    sha1_update(&r->ctx, buf, int32_t(n));
  };
  for (off_t from : {off_t(0), off_t(131072)}) {
    std::string m = pattern(1 << 20);
    write_file(path("f"), m);
    int fd = open(path("f").c_str(), O_RDWR);
    ASSERT_EQ(from, lseek(fd, from, SEEK_SET));
    reader r = {fd, 0, {}};
    sha1_init(&r.ctx);
    ASSERT_EQ(0, sha_fd_feed(fd, feed, nullptr, &r, nullptr)) << from;
    uint8_t out[SHA1_LEN];
    sha1_final(&r.ctx, out);
    EXPECT_EQ(digest(m.substr(size_t(from), 300000 - size_t(from))), hex(out))
        << from;
    EXPECT_EQ(0, close(fd));
  }
}

namespace {

// Both two-stream functions the processor can run: the accelerated one
// and the fallback, which has to be right on processors without it.
int
sha1_blocks2_fns(sha1_blocks2_fn fns[2])
{
  int n = 0;
  fns[n++] = sha1_blocks2_twice;
  if (sha1_blocks2_accel() != nullptr)
    fns[n++] = sha1_blocks2_accel();
  return n;
}

std::string
evp_sha1(const std::string &m)
{
  uint8_t d[SHA1_LEN];
  unsigned len = 0;
  if (EVP_Digest(m.data(), m.size(), d, &len, EVP_sha1(), nullptr) != 1 ||
      len != SHA1_LEN)
    return "EVP_Digest failed";
  return hex(d);
}

struct two_streams {
  size_t blocks;
  size_t off0, off1;  // of each stream's first byte from an allocation
  bool same_data;     // both streams read the same bytes at off0
  bool same_state;    // and start from the same state
};

// Hashes two messages of c.blocks blocks each, from the initial state and
// from random ones, with fn, and holds each lane to the portable block
// function and, for the messages, to the crypto library's digest.
void
check_two_streams(sha1_blocks2_fn fn, const two_streams &c, std::mt19937 &rng)
{
  std::string m[2], blocks[2];
  for (int k = 0; k < 2; k++) {
    // A message of the length range that pads to c.blocks blocks, or for
    // none, no bytes at all.
    size_t lo = c.blocks * 64 > 72 ? c.blocks * 64 - 72 : 0;
    size_t len = c.blocks == 0 ? 0 : lo + rng() % (c.blocks * 64 - 8 - lo);
    m[k].resize(len);
    for (char &ch : m[k])
      ch = char(rng());
    blocks[k] = c.blocks == 0 ? std::string() : padded(m[k]);
    ASSERT_EQ(c.blocks * 64, blocks[k].size());
  }
  if (c.same_data) {
    m[1] = m[0];
    blocks[1] = blocks[0];
  }
  placed d0(blocks[0], c.off0), d1(blocks[1], c.off1);
  const uint8_t *p0 = d0.get();
  const uint8_t *p1 = c.same_data ? p0 : d1.get();
  // Heap states, so that a store past the fifth word trips the sanitizer.
  std::vector<uint32_t> s0(h0, h0 + 5), s1(h0, h0 + 5);
  fn(s0.data(), p0, s1.data(), p1, c.blocks);
  if (c.blocks > 0) {
    EXPECT_EQ(evp_sha1(m[0]), hex_state(s0.data())) << "stream 0";
    EXPECT_EQ(evp_sha1(m[1]), hex_state(s1.data())) << "stream 1";
  } else {
    EXPECT_EQ(hex_state(h0), hex_state(s0.data())) << "stream 0";
    EXPECT_EQ(hex_state(h0), hex_state(s1.data())) << "stream 1";
  }
  // From random states, distinct unless asked otherwise: a lane that took
  // the other's state or bytes shows.
  for (int i = 0; i < 5; i++) {
    s0[i] = uint32_t(rng());
    s1[i] = c.same_state ? s0[i] : uint32_t(rng());
  }
  uint32_t want0[5], want1[5];
  memcpy(want0, s0.data(), sizeof want0);
  memcpy(want1, s1.data(), sizeof want1);
  sha1_blocks_portable(want0, p0, c.blocks);
  sha1_blocks_portable(want1, p1, c.blocks);
  fn(s0.data(), p0, s1.data(), p1, c.blocks);
  EXPECT_EQ(hex_state(want0), hex_state(s0.data())) << "stream 0";
  EXPECT_EQ(hex_state(want1), hex_state(s1.data())) << "stream 1";
}

std::string
describe(int f, const two_streams &c)
{
  return "function " + std::to_string(f) + ", " + std::to_string(c.blocks) +
         " blocks at offsets " + std::to_string(c.off0) + " and " +
         std::to_string(c.off1) + (c.same_data ? ", same data" : "") +
         (c.same_state ? ", same state" : "");
}

}  // namespace

// Edge cases first: no blocks at all (nothing read, null pointers taken),
// one and two blocks, every misalignment, both streams reading the same
// bytes from the same or from distinct states; then random ones.
TEST(Sha1, TwoStreamsMatchOneStream) {
  const two_streams rows[] = {
      {0, 0, 0, false, false},   {0, 63, 1, false, false},
      {1, 0, 0, false, false},   {1, 1, 63, false, false},
      {2, 63, 63, false, false}, {2, 0, 32, false, false},
      {1, 5, 5, true, false},    {17, 3, 3, true, true},
      {3, 0, 0, false, true},    {1000, 7, 9, false, false},
  };
  sha1_blocks2_fn fns[2];
  int nfns = sha1_blocks2_fns(fns);
  std::mt19937 rng(33);
  for (int f = 0; f < nfns; f++) {
    for (const two_streams &c : rows) {
      SCOPED_TRACE(describe(f, c));
      check_two_streams(fns[f], c, rng);
    }
    // Null pointers with no blocks: nothing may be read.
    uint32_t s0[5] = {1, 2, 3, 4, 5}, s1[5] = {6, 7, 8, 9, 10};
    fns[f](s0, nullptr, s1, nullptr, 0);
    EXPECT_EQ(1u, s0[0]);
    EXPECT_EQ(10u, s1[4]);
    for (int i = 0; i < 300; i++) {
      size_t pick = rng() % 4;
      two_streams c = {pick < 3 ? pick : 3 + rng() % 200, rng() % 64,
                       rng() % 64, rng() % 8 == 0, rng() % 8 == 0};
      SCOPED_TRACE(describe(f, c) + ", case " + std::to_string(i));
      check_two_streams(fns[f], c, rng);
      if (testing::Test::HasFailure())
        return;
    }
  }
}

// Every pair of lengths up to 130 that pad to as many blocks, through the
// function sha1_select puts in use: the padding boundaries of both
// streams against digests computed elsewhere.
TEST_P(Sha1Both, TwoStreamsKnownLengths) {
  int pairs = 0;
  for (size_t i = 0; i <= 130; i++) {
    for (size_t j = 0; j <= 130; j++) {
      std::string b0 = padded(pattern(i)), b1 = padded(pattern(j));
      if (b0.size() != b1.size())
        continue;
      placed d0(b0, i % 64), d1(b1, j % 61);
      uint32_t s0[5], s1[5];
      memcpy(s0, h0, sizeof s0);
      memcpy(s1, h0, sizeof s1);
      sha1_blocks2(s0, d0.get(), s1, d1.get(), b0.size() / 64);
      ASSERT_EQ(known[i], hex_state(s0)) << "lengths " << i << " and " << j;
      ASSERT_EQ(known[j], hex_state(s1)) << "lengths " << i << " and " << j;
      pairs++;
    }
  }
  EXPECT_EQ(56 * 56 + 64 * 64 + 11 * 11, pairs);
}

// sha1_update2 against two streams fed alone, held to the library's
// digests: each context may have a partial block waiting (fill) when the
// common bytes arrive, and the rest of the message follows in pieces
// (tail) of its own, so the boundaries of both streams fall everywhere.
TEST_P(Sha1Both, UpdateTwoMatchesTwoUpdates) {
  struct row {
    size_t fill0, fill1, n, tail0, tail1;
  };
  const row rows[] = {
      {0, 0, 0, 0, 0},        {0, 0, 64, 0, 0},    {0, 0, 63, 1, 0},
      {1, 0, 64, 0, 0},       {0, 63, 64, 0, 5},   {10, 20, 5, 3, 200},
      {63, 63, 1, 0, 0},      {32, 0, 4096, 7, 0}, {0, 0, 524288, 0, 0},
      {17, 45, 100000, 1, 2}, {0, 1, 127, 0, 0},   {55, 56, 130, 64, 64},
  };
  std::mt19937 rng(77);
  auto check = [&rng](const row &r) {
    std::string head[2], body[2], tail[2];
    for (int k = 0; k < 2; k++) {
      head[k].resize(k ? r.fill1 : r.fill0);
      body[k].resize(r.n);
      tail[k].resize(k ? r.tail1 : r.tail0);
      for (std::string *s : {&head[k], &body[k], &tail[k]})
        for (char &ch : *s)
          ch = char(rng());
    }
    sha1_ctx c[2];
    for (int k = 0; k < 2; k++) {
      sha1_init(&c[k]);
      sha1_update(&c[k], head[k].data(), int32_t(head[k].size()));
    }
    placed b0(body[0], r.fill0 % 8), b1(body[1], r.fill1 % 5);
    sha1_update2(&c[0], b0.get(), &c[1], b1.get(), r.n);
    for (int k = 0; k < 2; k++) {
      sha1_update(&c[k], tail[k].data(), int32_t(tail[k].size()));
      uint8_t out[SHA1_LEN];
      sha1_final(&c[k], out);
      EXPECT_EQ(evp_sha1(head[k] + body[k] + tail[k]), hex(out))
          << "stream " << k << ": " << r.fill0 << "+" << r.fill1 << ", " << r.n
          << " bytes";
    }
  };
  for (const row &r : rows)
    check(r);
  for (int i = 0; i < 200 && !testing::Test::HasFailure(); i++)
    check({rng() % 64, rng() % 64, rng() % 2000, rng() % 70, rng() % 70});
}
