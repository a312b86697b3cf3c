#include "GifWalker.h"

#include <cstring>

namespace {
constexpr size_t kHeaderSize = 13;  // signature, version, logical screen descriptor
}

GifWalker::GifWalker(const uint8_t* data, size_t size) : data_(data), size_(size) {
  if (size_ >= kHeaderSize && (std::memcmp(data_, "GIF87a", 6) == 0 ||
                               std::memcmp(data_, "GIF89a", 6) == 0)) {
    isGif_ = true;
    screenWidth_ = Word(6);
    screenHeight_ = Word(8);
    const uint8_t packed = Byte(10);
    colourTableSize_ = (packed & 0x80) ? 3u * (1u << ((packed & 7) + 1)) : 0;
  }
  Rewind();
}

void GifWalker::Rewind() { offset_ = kHeaderSize + colourTableSize_; }

GifBlockType GifWalker::TypeAt(size_t at) const {
  if (at >= size_) return GifBlockType::Unknown;
  switch (data_[at]) {
    case 0x21:
      if (at + 1 >= size_) return GifBlockType::Unknown;
      switch (data_[at + 1]) {
        case 0x01: return GifBlockType::PlainTextExtension;
        case 0xF9: return GifBlockType::GraphicControlExtension;
        case 0xFE: return GifBlockType::CommentExtension;
        case 0xFF: return GifBlockType::ApplicationExtension;
        default: return GifBlockType::Unknown;
      }
    case 0x2C: return GifBlockType::Image;
    case 0x3B: return GifBlockType::Trailer;
    default: return GifBlockType::Unknown;
  }
}

int64_t GifWalker::SubBlockChainLength(size_t at) const {
  int64_t length = 0;
  while (true) {
    if (at >= size_) return 0;  // the chain runs past the data: no valid length
    const uint8_t n = data_[at];
    if (n == 0) return length + 1;
    length += 1 + n;
    at += 1 + n;
  }
}

int64_t GifWalker::LengthAt(size_t at) const {
  auto withChain = [&](size_t fixed) -> int64_t {
    const int64_t chain = SubBlockChainLength(at + fixed);
    return chain > 0 ? static_cast<int64_t>(fixed) + chain : 0;
  };
  switch (TypeAt(at)) {
    case GifBlockType::Unknown: return -1;
    case GifBlockType::ApplicationExtension: return withChain(14);
    case GifBlockType::CommentExtension: return withChain(2);
    case GifBlockType::GraphicControlExtension: return 8;
    case GifBlockType::PlainTextExtension: return withChain(15);
    case GifBlockType::Image: {
      const uint8_t packed = Byte(at + 9);
      const size_t localTable = (packed & 0x80) ? 3u * (1u << ((packed & 7) + 1)) : 0;
      return withChain(11 + localTable);
    }
    case GifBlockType::Trailer: return 1;
  }
  return -1;
}

GifBlockType GifWalker::BlockType() const { return TypeAt(offset_); }
int64_t GifWalker::BlockLength() const { return LengthAt(offset_); }

bool GifWalker::SkipBlock() {
  if (!isGif_) return false;
  const int64_t length = BlockLength();
  if (length < 1 || offset_ + static_cast<size_t>(length) > size_) return false;
  offset_ += static_cast<size_t>(length);
  return true;
}

bool GifWalker::SkipExtensionsBeforeGraphic() {
  while (BlockType() == GifBlockType::ApplicationExtension ||
         BlockType() == GifBlockType::CommentExtension) {
    if (!SkipBlock()) return false;
  }
  const GifBlockType type = BlockType();
  return type == GifBlockType::GraphicControlExtension ||
         type == GifBlockType::PlainTextExtension || type == GifBlockType::Image;
}

bool GifWalker::SkipGraphicBlock() {
  if (!isGif_ || !SkipExtensionsBeforeGraphic()) return false;
  if (BlockLength() < 1) return false;
  if (BlockType() != GifBlockType::GraphicControlExtension) return SkipBlock();
  if (!SkipBlock()) return false;
  while (true) {
    const GifBlockType type = BlockType();
    if (type == GifBlockType::Image || type == GifBlockType::PlainTextExtension) return SkipBlock();
    if (type != GifBlockType::ApplicationExtension && type != GifBlockType::CommentExtension &&
        type != GifBlockType::GraphicControlExtension) {
      return false;
    }
    if (!SkipBlock()) return false;
  }
}

std::optional<GifFrameData> GifWalker::ExtractFrame() {
  if (!isGif_ || !SkipExtensionsBeforeGraphic()) return std::nullopt;
  GifFrameData frame;
  const size_t start = offset_;
  int64_t length = BlockLength();
  if (length < 1) return std::nullopt;
  if (BlockType() == GifBlockType::GraphicControlExtension) {
    frame.delay = Word(start + 4);
    frame.disposal = (Byte(start + 3) >> 2) & 7;
    if (!SkipBlock()) return std::nullopt;
    while (BlockType() != GifBlockType::Image && BlockType() != GifBlockType::PlainTextExtension) {
      const GifBlockType type = BlockType();
      if (type != GifBlockType::ApplicationExtension && type != GifBlockType::CommentExtension &&
          type != GifBlockType::GraphicControlExtension) {
        return std::nullopt;
      }
      length += BlockLength();
      if (!SkipBlock()) return std::nullopt;
    }
    length += BlockLength();
  }
  if (BlockType() == GifBlockType::Image) {
    frame.width = Word(offset_ + 5);
    frame.height = Word(offset_ + 7);
    frame.left = Word(offset_ + 1);
    frame.top = Word(offset_ + 3);
  }
  if (!SkipBlock()) return std::nullopt;

  const size_t head = kHeaderSize + colourTableSize_;
  frame.gif.reserve(head + static_cast<size_t>(length) + 1);
  frame.gif.assign(data_, data_ + head);
  frame.gif.insert(frame.gif.end(), data_ + start, data_ + start + static_cast<size_t>(length));
  frame.gif.push_back(0x3B);
  return frame;
}

size_t GifWalker::CountGraphicBlocks() {
  const size_t saved = offset_;
  Rewind();
  size_t count = 0;
  while (SkipGraphicBlock()) ++count;
  offset_ = saved;
  return count;
}

std::vector<GifFrameData> GifWalker::ExtractFrames() {
  Rewind();
  std::vector<GifFrameData> frames;
  while (auto frame = ExtractFrame()) frames.push_back(std::move(*frame));
  return frames;
}

uint32_t FrameDurationMs(uint32_t delay) {
  if (delay == kGifNoDelay || delay < 5) return 100;
  return delay * 10;  // at most 655,350: the delay field has 16 bits
}
