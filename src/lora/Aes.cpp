#include "lora/Aes.h"

#include <cstring>

// The forward cipher runs once per MIC block and per payload block on the uplink path, so it uses
// the usual 32-bit round tables (SubBytes + ShiftRows + MixColumns folded into four lookups per
// column). The inverse cipher only serves join accepts and stays byte by byte.
//
// Every table is derived at compile time from the field arithmetic rather than typed in: the
// S-box is the multiplicative inverse in GF(2^8) followed by the affine map of the standard.
// Words hold a column most significant byte first: byte 0 of a column is bits 31..24.

namespace {

constexpr uint8_t Xtime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) product ^= a;
    a = Xtime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t Rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t Rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

constexpr uint32_t Word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | b3;
}

struct Tables {
  uint8_t sbox[256] = {};
  uint8_t invSbox[256] = {};
  uint32_t te[4][256] = {};  // te[k] = forward round table for row k
  uint8_t mul9[256] = {};
  uint8_t mul11[256] = {};
  uint8_t mul13[256] = {};
  uint8_t mul14[256] = {};
};

constexpr Tables MakeTables() {
  Tables t;
  for (int x = 0; x < 256; ++x) {
    // x^254 = x^-1 in GF(2^8); 0 maps to 0.
    uint8_t inverse = 0;
    if (x != 0) {
      uint8_t result = 1;
      uint8_t base = static_cast<uint8_t>(x);
      for (int e = 254; e != 0; e >>= 1) {
        if ((e & 1) != 0) result = GfMul(result, base);
        base = GfMul(base, base);
      }
      inverse = result;
    }
    uint8_t s = static_cast<uint8_t>(inverse ^ Rotl8(inverse, 1) ^ Rotl8(inverse, 2) ^
                                     Rotl8(inverse, 3) ^ Rotl8(inverse, 4) ^ 0x63);
    t.sbox[x] = s;
    t.invSbox[s] = static_cast<uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    uint8_t s = t.sbox[x];
    uint32_t column = Word(GfMul(s, 2), s, s, GfMul(s, 3));
    t.te[0][x] = column;
    t.te[1][x] = Rotr32(column, 8);
    t.te[2][x] = Rotr32(column, 16);
    t.te[3][x] = Rotr32(column, 24);
    uint8_t b = static_cast<uint8_t>(x);
    t.mul9[x] = GfMul(b, 9);
    t.mul11[x] = GfMul(b, 11);
    t.mul13[x] = GfMul(b, 13);
    t.mul14[x] = GfMul(b, 14);
  }
  return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xED, "S-box");
static_assert(kTables.invSbox[0x63] == 0x00, "inverse S-box");

inline uint32_t LoadWord(const uint8_t* p) { return Word(p[0], p[1], p[2], p[3]); }

inline void StoreWord(uint32_t w, uint8_t* p) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

inline uint32_t SubWord(uint32_t w) {
  const uint8_t* s = kTables.sbox;
  return Word(s[w >> 24], s[(w >> 16) & 0xFF], s[(w >> 8) & 0xFF], s[w & 0xFF]);
}

// One column of a middle round: rows taken from the columns ShiftRows brings together.
inline uint32_t RoundColumn(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t key) {
  return kTables.te[0][a >> 24] ^ kTables.te[1][(b >> 16) & 0xFF] ^ kTables.te[2][(c >> 8) & 0xFF] ^
         kTables.te[3][d & 0xFF] ^ key;
}

// One column of the last round: no MixColumns.
inline uint32_t FinalColumn(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t key) {
  const uint8_t* s = kTables.sbox;
  return Word(s[a >> 24], s[(b >> 16) & 0xFF], s[(c >> 8) & 0xFF], s[d & 0xFF]) ^ key;
}

inline uint8_t RoundKeyByte(const AesContext& ctx, int round, int index) {
  return static_cast<uint8_t>(ctx.roundKeys[4 * round + index / 4] >> (24 - 8 * (index % 4)));
}

}  // namespace

uint8_t AesSetKey(const uint8_t* key, std::size_t keyLength, AesContext& ctx) {
  std::memset(ctx.roundKeys, 0, sizeof ctx.roundKeys);
  ctx.rounds = 0;
  if (key == nullptr || (keyLength != 16 && keyLength != 24 && keyLength != 32)) {
    return kAesFailure;
  }
  const int nk = static_cast<int>(keyLength / 4);
  const int rounds = nk + 6;
  const int words = 4 * (rounds + 1);
  uint32_t* w = ctx.roundKeys;
  for (int i = 0; i < nk; ++i) w[i] = LoadWord(key + 4 * i);
  uint8_t rcon = 0x01;
  for (int i = nk; i < words; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t{rcon} << 24);
      rcon = Xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  ctx.rounds = static_cast<uint8_t>(rounds);
  return kAesSuccess;
}

uint8_t AesEncrypt(const uint8_t* in, uint8_t* out, const AesContext& ctx) {
  if (ctx.rounds == 0) return kAesFailure;
  const uint32_t* rk = ctx.roundKeys;
  uint32_t s0 = LoadWord(in) ^ rk[0];
  uint32_t s1 = LoadWord(in + 4) ^ rk[1];
  uint32_t s2 = LoadWord(in + 8) ^ rk[2];
  uint32_t s3 = LoadWord(in + 12) ^ rk[3];
  for (int round = 1; round < ctx.rounds; ++round) {
    rk += 4;
    uint32_t t0 = RoundColumn(s0, s1, s2, s3, rk[0]);
    uint32_t t1 = RoundColumn(s1, s2, s3, s0, rk[1]);
    uint32_t t2 = RoundColumn(s2, s3, s0, s1, rk[2]);
    uint32_t t3 = RoundColumn(s3, s0, s1, s2, rk[3]);
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  StoreWord(FinalColumn(s0, s1, s2, s3, rk[0]), out);
  StoreWord(FinalColumn(s1, s2, s3, s0, rk[1]), out + 4);
  StoreWord(FinalColumn(s2, s3, s0, s1, rk[2]), out + 8);
  StoreWord(FinalColumn(s3, s0, s1, s2, rk[3]), out + 12);
  return kAesSuccess;
}

uint8_t AesDecrypt(const uint8_t* in, uint8_t* out, const AesContext& ctx) {
  if (ctx.rounds == 0) return kAesFailure;
  // state[row + 4 * column], the order of the input bytes.
  uint8_t state[16];
  uint8_t shifted[16];
  for (int i = 0; i < 16; ++i) state[i] = in[i] ^ RoundKeyByte(ctx, ctx.rounds, i);
  for (int round = ctx.rounds - 1; round >= 0; --round) {
    // InvShiftRows then InvSubBytes: row r moves r columns to the right.
    for (int c = 0; c < 4; ++c) {
      for (int r = 0; r < 4; ++r) {
        shifted[r + 4 * ((c + r) % 4)] = kTables.invSbox[state[r + 4 * c]];
      }
    }
    for (int i = 0; i < 16; ++i) state[i] = shifted[i] ^ RoundKeyByte(ctx, round, i);
    if (round == 0) break;
    for (int c = 0; c < 4; ++c) {
      uint8_t* col = state + 4 * c;
      uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
      col[0] = kTables.mul14[a0] ^ kTables.mul11[a1] ^ kTables.mul13[a2] ^ kTables.mul9[a3];
      col[1] = kTables.mul9[a0] ^ kTables.mul14[a1] ^ kTables.mul11[a2] ^ kTables.mul13[a3];
      col[2] = kTables.mul13[a0] ^ kTables.mul9[a1] ^ kTables.mul14[a2] ^ kTables.mul11[a3];
      col[3] = kTables.mul11[a0] ^ kTables.mul13[a1] ^ kTables.mul9[a2] ^ kTables.mul14[a3];
    }
  }
  std::memcpy(out, state, sizeof state);
  return kAesSuccess;
}
