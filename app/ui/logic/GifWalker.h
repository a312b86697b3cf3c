// Walking the blocks of a GIF in memory: counting its graphic blocks and cutting it into
// frames, each rebuilt as a complete one-frame GIF over the whole logical screen. Every
// read stays inside the data; a block that would reach past its end ends the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

enum class GifBlockType { Unknown, ApplicationExtension, CommentExtension,
                          GraphicControlExtension, PlainTextExtension, Image, Trailer };

inline constexpr uint32_t kGifNoDelay = 0xFFFFFFFF;

struct GifFrameData {
  std::vector<uint8_t> gif;  // header, screen descriptor, global colours, the frame, trailer
  int32_t width = 0, height = 0;
  int32_t left = 0, top = 0;
  uint32_t delay = kGifNoDelay;  // hundredths of a second; kGifNoDelay without a control block
  uint32_t disposal = 0;
};

class GifWalker {
 public:
  GifWalker(const uint8_t* data, size_t size);

  // "GIF87a" or "GIF89a" with a whole header.
  bool IsGif() const { return isGif_; }
  int32_t ScreenWidth() const { return screenWidth_; }
  int32_t ScreenHeight() const { return screenHeight_; }

  // The number of graphic blocks from the first block on (the walk position is restored).
  size_t CountGraphicBlocks();
  // Every frame from the first block on, in order, until the walk ends.
  std::vector<GifFrameData> ExtractFrames();

  // Walk steps at the current position (public for tests).
  void Rewind();
  GifBlockType BlockType() const;
  int64_t BlockLength() const;
  bool SkipBlock();
  bool SkipGraphicBlock();
  std::optional<GifFrameData> ExtractFrame();

 private:
  GifBlockType TypeAt(size_t at) const;
  int64_t LengthAt(size_t at) const;
  int64_t SubBlockChainLength(size_t at) const;
  uint8_t Byte(size_t at) const { return at < size_ ? data_[at] : 0; }
  uint16_t Word(size_t at) const { return static_cast<uint16_t>(Byte(at) | (Byte(at + 1) << 8)); }
  bool SkipExtensionsBeforeGraphic();

  const uint8_t* data_;
  size_t size_;
  bool isGif_ = false;
  int32_t screenWidth_ = 0, screenHeight_ = 0;
  size_t colourTableSize_ = 0;
  size_t offset_ = 0;
};

// How long a frame stays: delay x 10 ms for a delay of 5 or more, else (also without a
// graphic control block) 100 ms.
uint32_t FrameDurationMs(uint32_t delay);
