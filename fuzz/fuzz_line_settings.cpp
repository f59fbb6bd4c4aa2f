// Fuzz target: the line-setting records the driver builds from a DCB (line control word, flow
// record, special characters). The input is a DCB as an application could pass it. Checked: each
// builder writes exactly its record (heap blocks of the record's size), the fields land where the
// bridge reads them, and a record does not change when DCB fields it does not carry change.
#include <cstring>
#include <memory>

#include "bridge/bridge_requests.h"
#include "fuzz/world.h"

namespace {

struct Records {
  WORD lineControl = 0;
  std::unique_ptr<BYTE[]> flow{new BYTE[BridgeFlowRecordSize]};
  std::unique_ptr<BYTE[]> chars{new BYTE[BridgeSpecialCharsSize]};
};

Records Build(const DCB& dcb) {
  Records r;
  r.lineControl = BridgeLineControlWord(&dcb);
  BridgeBuildFlowRecord(&dcb, r.flow.get());
  BridgeBuildSpecialChars(&dcb, r.chars.get());
  return r;
}

DWORD Word32(const BYTE* p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(DCB)) return 0;
  DCB dcb;
  std::memcpy(&dcb, data, sizeof dcb);
  Records r = Build(dcb);

  world::Check((r.lineControl & 0x0F) == (dcb.StopBits & 0x0F), "stop bits in bits 0-3");
  world::Check(((r.lineControl >> 4) & 0x0F) == (dcb.Parity & 0x0F), "parity in bits 4-7");
  world::Check((r.lineControl >> 8) == dcb.ByteSize, "data bits in the high byte");
  world::Check(Word32(r.flow.get() + 8) == dcb.XonLim, "XonLim little-endian at 8");
  world::Check(Word32(r.flow.get() + 12) == dcb.XoffLim, "XoffLim little-endian at 12");
  const DWORD control = Word32(r.flow.get());
  world::Check(((control & FlowCtsHandshake) != 0) == (dcb.fOutxCtsFlow != 0), "CTS handshake");
  world::Check(((control & FlowDsrHandshake) != 0) == (dcb.fOutxDsrFlow != 0), "DSR handshake");
  const DWORD replace = Word32(r.flow.get() + 4);
  world::Check(((replace & FlowAutoTransmit) != 0) == (dcb.fOutX != 0), "XON/XOFF on output");
  world::Check(((replace & FlowAutoReceive) != 0) == (dcb.fInX != 0), "XON/XOFF on input");
  const BYTE expected[BridgeSpecialCharsSize] = {
      BYTE(dcb.EofChar), BYTE(dcb.ErrorChar), 0,
      BYTE(dcb.EvtChar), BYTE(dcb.XonChar),   BYTE(dcb.XoffChar)};
  world::Check(std::memcmp(r.chars.get(), expected, sizeof expected) == 0, "special characters");

  // Fields no record carries, and the line fields for the flow record and characters.
  DCB other = dcb;
  other.BaudRate ^= 0x5A5A5A5Au;
  other.fBinary ^= 1;
  other.fParity ^= 1;
  other.fAbortOnError ^= 1;
  other.wReserved ^= 0xFFFF;
  Records same = Build(other);
  world::Check(same.lineControl == r.lineControl &&
                   std::memcmp(same.flow.get(), r.flow.get(), BridgeFlowRecordSize) == 0 &&
                   std::memcmp(same.chars.get(), r.chars.get(), BridgeSpecialCharsSize) == 0,
               "records ignore the baud rate and the flags they do not carry");
  other = dcb;
  other.ByteSize ^= 0xFF;
  other.Parity ^= 0xFF;
  other.StopBits ^= 0xFF;
  Records line = Build(other);
  world::Check(std::memcmp(line.flow.get(), r.flow.get(), BridgeFlowRecordSize) == 0 &&
                   std::memcmp(line.chars.get(), r.chars.get(), BridgeSpecialCharsSize) == 0,
               "the flow record and characters ignore the line format");
  return 0;
}
