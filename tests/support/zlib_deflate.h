// Raw deflate streams (no zlib header) made by zlib, the tests' oracle for
// inflate. Only built where zlib is found (HAVE_ZLIB).
#pragma once

#ifdef HAVE_ZLIB
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace testutil {

inline std::vector<uint8_t> ZlibRawDeflate(const std::vector<uint8_t>& in, int level, int strategy = Z_DEFAULT_STRATEGY,
                                           int windowBits = 15, int memLevel = 9) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -windowBits, memLevel, strategy), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, in.size()) + 64);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace testutil
#endif  // HAVE_ZLIB
