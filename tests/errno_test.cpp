// Error texts and the errno global, run as i386 code in the stand-in.
#include <gtest/gtest.h>

#include <string>

#include "emu/image.hpp"
#include "harness.hpp"

namespace {

using zt::Guest;

TEST(Errno, StartsAtZero)
{
    Guest g;
    EXPECT_EQ(g.global32("errno"), 0u);
}

TEST(Errno, Texts)
{
    struct Row {
        int32_t code;
        const char *text;
    };
    const Row rows[] = {
        {0, "ok"},
        {2, "no such file"},
        {12, "error"},           // the one code the runtime stores has no text of its own
        {22, "invalid argument"},
        {38, "not implemented"},
        {-2, "error"},
        {-1, "error"},
        {1, "error"},
        {3, "error"},
        {21, "error"},
        {23, "error"},
        {37, "error"},
        {39, "error"},
        {256 + 2, "error"},      // no folding to a byte
        {INT32_MAX, "error"},
        {INT32_MIN, "error"},
    };
    Guest g;
    g.install_guards();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.code);
        uint32_t p = g.call("strerror", {r.code});
        ASSERT_NE(p, 0u);
        EXPECT_EQ(g.read_str(p), r.text);
    }
}

TEST(Errno, TheSameCodeGivesTheSamePointer)
{
    Guest g;
    for (int32_t code : {0, 2, 12, 22, 38, -7}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(g.call("strerror", {code}), g.call("strerror", {code}));
    }
    // Every code without a text of its own shares the one "error".
    EXPECT_EQ(g.call("strerror", {12}), g.call("strerror", {-5}));
}

TEST(Errno, TextsLieInReadOnlyStorage)
{
    zelkos::Image img = zelkos::read_image(zt::runtime_image());
    const zelkos::Section *rodata = img.section(".rodata");
    ASSERT_NE(rodata, nullptr);
    Guest g;
    for (int32_t code : {0, 2, 12, 22, 38}) {
        SCOPED_TRACE(code);
        uint32_t p = g.call("strerror", {code});
        EXPECT_GE(p, rodata->addr);
        EXPECT_LT(p, rodata->addr + rodata->size);
    }
}

} // namespace
