// Pieces of tvk that need no driver: the line options' translation into a DCB and the hand-off
// ceiling's thread chain.
#include <gtest/gtest.h>

#include "tools/ceiling.h"
#include "tools/session.h"

namespace {

TEST(LineOptions, FormatsBecomeTheDcbFields) {
  struct Case {
    const char* format;
    BYTE bits, parity, stop;
  } cases[] = {{"8N1", 8, NOPARITY, ONESTOPBIT},   {"7E1", 7, EVENPARITY, ONESTOPBIT},
               {"8o2", 8, ODDPARITY, TWOSTOPBITS}, {"5N1.5", 5, NOPARITY, ONE5STOPBITS},
               {"6M1", 6, MARKPARITY, ONESTOPBIT}, {"7S2", 7, SPACEPARITY, TWOSTOPBITS}};
  for (const Case& c : cases) {
    tvk::LineOptions line;
    line.baud = 921600;
    line.format = c.format;
    DCB dcb{};
    std::string error;
    ASSERT_TRUE(tvk::FillDcb(line, &dcb, &error)) << c.format << ": " << error;
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 921600u);
    EXPECT_EQ(dcb.ByteSize, c.bits) << c.format;
    EXPECT_EQ(dcb.Parity, c.parity) << c.format;
    EXPECT_EQ(dcb.StopBits, c.stop) << c.format;
    EXPECT_EQ(dcb.fParity, c.parity != NOPARITY ? 1u : 0u) << c.format;
  }
}

TEST(LineOptions, FlowControlModes) {
  tvk::LineOptions line;
  DCB dcb{};
  std::string error;
  line.flow = "rtscts";
  ASSERT_TRUE(tvk::FillDcb(line, &dcb, &error));
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(dcb.fOutX, 0u);
  line.flow = "xonxoff";
  ASSERT_TRUE(tvk::FillDcb(line, &dcb, &error));
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  // The driver's own XOFF never holds a tvk application's output.
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
  line.flow = "none";
  ASSERT_TRUE(tvk::FillDcb(line, &dcb, &error));
  EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutX | dcb.fInX, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

TEST(LineOptions, MalformedInputIsRefusedAndLeavesTheDcbAlone) {
  for (const char* format : {"", "8N", "9N1", "4N1", "8X1", "8N3", "8N1.2", "N81"}) {
    tvk::LineOptions line;
    line.format = format;
    DCB dcb{};
    dcb.ByteSize = 42;
    std::string error;
    EXPECT_FALSE(tvk::FillDcb(line, &dcb, &error)) << format;
    EXPECT_FALSE(error.empty()) << format;
    EXPECT_EQ(dcb.ByteSize, 42) << format;
    EXPECT_EQ(dcb.BaudRate, 0u) << format;
  }
  tvk::LineOptions line;
  line.flow = "dsrdtr";
  DCB dcb{};
  std::string error;
  EXPECT_FALSE(tvk::FillDcb(line, &dcb, &error));
  EXPECT_NE(error.find("dsrdtr"), std::string::npos);
}

// What the closing lines say about loss: each ClearCommError answer counts once per flag, the
// line's drops are a running total, and only a change makes news.
TEST(LossWatch, CountsErrorReportsAndLineDrops) {
  tvk::LossWatch loss;
  EXPECT_EQ(loss.Note(0, 0), "");
  EXPECT_FALSE(loss.Lost());
  EXPECT_EQ(loss.Summary(), "nothing lost");
  EXPECT_EQ(loss.Note(CE_RXOVER, 0), "ClearCommError reported CE_RXOVER once");
  EXPECT_EQ(loss.Note(CE_RXOVER | CE_OVERRUN, 0),
            "ClearCommError reported CE_RXOVER 2 times, CE_OVERRUN once");
  EXPECT_EQ(loss.Note(0, 0), "");
  EXPECT_EQ(loss.Note(CE_FRAME, 1150),
            "ClearCommError reported CE_RXOVER 2 times, CE_OVERRUN once, CE_FRAME once; the line "
            "dropped 1150 bytes while the terminal was closed");
  EXPECT_EQ(loss.Note(0, 1150), "");
  EXPECT_TRUE(loss.Lost());
  tvk::LossWatch drops;
  EXPECT_EQ(drops.Note(0, 7), "the line dropped 7 bytes while the terminal was closed");
  EXPECT_EQ(drops.Summary(), "the line dropped 7 bytes while the terminal was closed");
}

TEST(UsbTarget, VendorProductAndOptionalBusAddress) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t vid, pid;
    int bus, address;
  };
  const Case cases[] = {
      {"10c4:ea60", true, 0x10C4, 0xEA60, -1, -1},
      {"10C4:EA60@1:5", true, 0x10C4, 0xEA60, 1, 5},
      {"1:2@255:127", true, 0x0001, 0x0002, 255, 127},
      {"10c4:ea60@0:5", false, 0, 0, -1, -1},    // buses count from 1
      {"10c4:ea60@1:128", false, 0, 0, -1, -1},  // addresses end at 127
      {"10c4:ea60@1", false, 0, 0, -1, -1},
      {"10c4:ea60x", false, 0, 0, -1, -1},
      {"10c4ea60", false, 0, 0, -1, -1},
      {"10c45:ea60", false, 0, 0, -1, -1},
      {"", false, 0, 0, -1, -1},
  };
  for (const Case& c : cases) {
    tvk::UsbTarget target;
    target.vendorId = 0x1234;
    ASSERT_EQ(tvk::ParseUsbTarget(c.text, &target), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(target.vendorId, 0x1234) << c.text << ": a refused target changes nothing";
      continue;
    }
    EXPECT_EQ(target.vendorId, c.vid) << c.text;
    EXPECT_EQ(target.productId, c.pid) << c.text;
    EXPECT_EQ(target.bus, c.bus) << c.text;
    EXPECT_EQ(target.address, c.address) << c.text;
  }
}

TEST(HandOffCeiling, MovesEveryByteInOrderIncludingAShortLastBlock) {
  // Not a multiple of the 1 KiB transfer, and more than the ring and receive buffer hold.
  const std::uint64_t bytes = 3 * 65536 + 1000;
  tvk::CeilingResult r = tvk::RunHandOffCeiling(bytes);
  EXPECT_TRUE(r.intact);
  EXPECT_EQ(r.bytes, bytes);
  EXPECT_GT(r.seconds, 0);
  EXPECT_GT(r.MiBPerSecond(), 0);
}

TEST(HandOffCeiling, ASingleByte) {
  tvk::CeilingResult r = tvk::RunHandOffCeiling(1);
  EXPECT_TRUE(r.intact);
  EXPECT_EQ(r.bytes, 1u);
}

}  // namespace
