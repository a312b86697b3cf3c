#include <gtest/gtest.h>

#include <QFile>
#include <QTest>

#include "AnimatedPicture.h"
#include "UiTestSupport.h"

namespace {

QByteArray Bytes(const std::vector<uint8_t>& v) {
  return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<int>(v.size()));
}

TEST(AnimatedPictureTest, FramesAreCroppedAndComposedWithTheirDisposal) {
  AnimatedPicture picture;
  const QColor background = picture.palette().color(QPalette::Window);
  ASSERT_TRUE(picture.LoadFromData(Bytes(UiTest::ThreeFrameGif())));
  EXPECT_EQ(picture.size(), QSize(6, 4));
  ASSERT_EQ(picture.FrameCount(), 3u);
  EXPECT_EQ(picture.FrameAt(1).rect, QRect(2, 1, 2, 2));
  EXPECT_EQ(picture.FrameAt(1).image.size(), QSize(2, 2));
  EXPECT_EQ(picture.FrameAt(1).image.pixelColor(0, 0), QColor(Qt::green));

  picture.StartDisplay();
  EXPECT_TRUE(picture.IsAnimating());
  EXPECT_EQ(picture.CurrentIntervalMs(), 100);  // delay 2 is shown for 100 ms
  EXPECT_EQ(picture.Canvas().pixelColor(3, 2), QColor(Qt::red));

  picture.Advance();  // green over red, 200 ms
  EXPECT_EQ(picture.CurrentIntervalMs(), 200);
  EXPECT_EQ(picture.Canvas().pixelColor(3, 2), QColor(Qt::green));
  EXPECT_EQ(picture.Canvas().pixelColor(0, 0), QColor(Qt::red));

  picture.Advance();  // green's rectangle goes back to the background, then blue
  EXPECT_EQ(picture.CurrentIntervalMs(), 100);  // no control block
  EXPECT_EQ(picture.Canvas().pixelColor(3, 2), background);
  EXPECT_EQ(picture.Canvas().pixelColor(5, 3), QColor(Qt::blue));
  EXPECT_EQ(picture.Canvas().pixelColor(0, 0), QColor(Qt::red));

  picture.Advance();  // after the last frame the canvas is cleared, then red again
  EXPECT_EQ(picture.CurrentFrame(), 0u);
  EXPECT_EQ(picture.Canvas().pixelColor(5, 3), QColor(Qt::red));
}

TEST(AnimatedPictureTest, StopIsImmediateAndTheFrameIsKept) {
  AnimatedPicture picture;
  ASSERT_TRUE(picture.LoadFromData(Bytes(UiTest::ThreeFrameGif())));
  picture.StartDisplay();
  ASSERT_TRUE(QTest::qWaitFor([&] { return picture.CurrentFrame() == 1; }, 5000));
  picture.StopAnimation();
  EXPECT_FALSE(picture.IsAnimating());
  QTest::qWait(300);
  EXPECT_EQ(picture.CurrentFrame(), 1u);
  picture.StartDisplay();
  EXPECT_TRUE(picture.IsAnimating());
  picture.ReleasePicture();
  EXPECT_EQ(picture.FrameCount(), 0u);
  EXPECT_FALSE(picture.IsAnimating());
}

TEST(AnimatedPictureTest, SingleImagesAndOtherPicturesAreStill) {
  AnimatedPicture picture;
  ASSERT_TRUE(picture.LoadFromData(Bytes(UiTest::MakeGif(3, 2, {{0, 0, 3, 2, {3}, 10}}))));
  EXPECT_EQ(picture.FrameCount(), 0u);
  picture.StartDisplay();
  EXPECT_FALSE(picture.IsAnimating());
  EXPECT_EQ(picture.Canvas().pixelColor(2, 1), QColor(Qt::blue));

  QFile icon(QStringLiteral(":/icon.png"));
  ASSERT_TRUE(icon.open(QIODevice::ReadOnly));
  ASSERT_TRUE(picture.LoadFromData(icon.readAll()));
  EXPECT_EQ(picture.size(), QSize(64, 64));

  EXPECT_FALSE(picture.LoadFromData(QByteArray("not a picture")));
  // A GIF without any graphic block shows nothing.
  std::vector<uint8_t> empty = UiTest::MakeGif(2, 2, {});
  EXPECT_FALSE(picture.LoadFromData(Bytes(empty)));
}

TEST(AnimatedPictureTest, TheSplashPicturePlays) {
  QFile splash(QStringLiteral(":/splash.gif"));
  ASSERT_TRUE(splash.open(QIODevice::ReadOnly));
  AnimatedPicture picture;
  ASSERT_TRUE(picture.LoadFromData(splash.readAll()));
  EXPECT_EQ(picture.size(), QSize(459, 299));
  EXPECT_EQ(picture.FrameCount(), 22u);
}

}  // namespace
