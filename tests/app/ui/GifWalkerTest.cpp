#include <gtest/gtest.h>

#include <algorithm>

#include "GifWalker.h"
#include "UiTestSupport.h"

namespace {

GifWalker Walk(const std::vector<uint8_t>& data) { return GifWalker(data.data(), data.size()); }

TEST(GifWalkerTest, FramesWithOffsetsDelaysAndDisposal) {
  const auto gif = UiTest::ThreeFrameGif();
  GifWalker walker = Walk(gif);
  ASSERT_TRUE(walker.IsGif());
  EXPECT_EQ(walker.ScreenWidth(), 6);
  EXPECT_EQ(walker.ScreenHeight(), 4);
  EXPECT_EQ(walker.CountGraphicBlocks(), 3u);
  const auto frames = walker.ExtractFrames();
  ASSERT_EQ(frames.size(), 3u);
  const struct {
    int left, top, width, height;
    uint32_t delay, disposal;
  } expected[] = {{0, 0, 6, 4, 2, 0}, {2, 1, 2, 2, 20, 2}, {5, 3, 1, 1, kGifNoDelay, 0}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].left, expected[i].left);
    EXPECT_EQ(frames[i].top, expected[i].top);
    EXPECT_EQ(frames[i].width, expected[i].width);
    EXPECT_EQ(frames[i].height, expected[i].height);
    EXPECT_EQ(frames[i].delay, expected[i].delay);
    EXPECT_EQ(frames[i].disposal, expected[i].disposal);
    // Each frame is a whole GIF of one graphic block over the same screen, ending in the
    // trailer.
    ASSERT_GT(frames[i].gif.size(), 13u + 12u);
    EXPECT_TRUE(std::equal(gif.begin(), gif.begin() + 25, frames[i].gif.begin()));
    EXPECT_EQ(frames[i].gif.back(), 0x3B);
    GifWalker one = Walk(frames[i].gif);
    EXPECT_EQ(one.CountGraphicBlocks(), 1u);
  }
}

TEST(GifWalkerTest, BlockTypesAndLengths) {
  const auto gif = UiTest::ThreeFrameGif();
  GifWalker walker = Walk(gif);
  EXPECT_EQ(walker.BlockType(), GifBlockType::ApplicationExtension);
  EXPECT_EQ(walker.BlockLength(), 19);  // 14 + a 3-byte sub-block + terminator
  ASSERT_TRUE(walker.SkipBlock());
  EXPECT_EQ(walker.BlockType(), GifBlockType::GraphicControlExtension);
  EXPECT_EQ(walker.BlockLength(), 8);
  ASSERT_TRUE(walker.SkipBlock());
  EXPECT_EQ(walker.BlockType(), GifBlockType::Image);
}

TEST(GifWalkerTest, TruncatedFileEndsTheWalkAtTheBrokenBlock) {
  const auto whole = UiTest::ThreeFrameGif();
  // Cut inside the last image's data: two frames are left, and nothing reads past the end.
  for (size_t cut = 1; cut <= 6; ++cut) {
    std::vector<uint8_t> gif(whole.begin(), whole.end() - static_cast<long>(cut) - 1);
    GifWalker walker = Walk(gif);
    EXPECT_EQ(walker.CountGraphicBlocks(), 2u) << cut;
    EXPECT_EQ(walker.ExtractFrames().size(), 2u) << cut;
  }
  // Only the header.
  std::vector<uint8_t> header(whole.begin(), whole.begin() + 25);
  EXPECT_EQ(Walk(header).CountGraphicBlocks(), 0u);
  EXPECT_TRUE(Walk(header).ExtractFrames().empty());
}

TEST(GifWalkerTest, UnknownBlockEndsTheWalk) {
  auto gif = UiTest::ThreeFrameGif();
  // The second frame's graphic control extension becomes an unknown block.
  const std::vector<uint8_t> gce{0x21, 0xF9};
  auto first = std::search(gif.begin(), gif.end(), gce.begin(), gce.end());
  auto second = std::search(first + 2, gif.end(), gce.begin(), gce.end());
  ASSERT_NE(second, gif.end());
  *second = 0x99;
  GifWalker walker = Walk(gif);
  EXPECT_EQ(walker.CountGraphicBlocks(), 1u);
  EXPECT_EQ(walker.ExtractFrames().size(), 1u);
}

TEST(GifWalkerTest, OnlyGif87aAndGif89aAreGifs) {
  EXPECT_TRUE(Walk(UiTest::MakeGif(1, 1, {{0, 0, 1, 1, {1}}}, "GIF87a")).IsGif());
  EXPECT_FALSE(Walk(UiTest::MakeGif(1, 1, {{0, 0, 1, 1, {1}}}, "GIF88a")).IsGif());
  const std::vector<uint8_t> tiny{'G', 'I', 'F', '8', '9', 'a'};
  EXPECT_FALSE(Walk(tiny).IsGif());
}

TEST(GifWalkerTest, FrameDurations) {
  const struct {
    uint32_t delay, ms;
  } cases[] = {{0, 100}, {2, 100}, {4, 100}, {5, 50}, {200, 2000}, {65535, 655350},
               {kGifNoDelay, 100}};
  for (const auto& c : cases) EXPECT_EQ(FrameDurationMs(c.delay), c.ms) << c.delay;
}

}  // namespace
