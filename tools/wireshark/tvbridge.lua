-- Wireshark/tshark dissector for the USB-to-UART bridge's vendor requests, as the Tollaverk driver
-- and the bridge model speak them, in Linux usbmon captures (what `tvk --capture FILE` and
-- TV_USB_CAPTURE=FILE write, or a capture of a real bridge on a Linux host).
--
--   tshark -r capture.pcap -X lua_script:tools/wireshark/tvbridge.lua
--   tshark -r capture.pcap -X lua_script:tools/wireshark/tvbridge.lua -Y tvbridge -V
--
-- or copy the file into Wireshark's personal Lua plugin folder (Help > About > Folders; on Linux
-- ~/.local/lib/wireshark/plugins/). Written for the Lua API of Wireshark 3.6 and later (tried with
-- tshark 4.0).
--
-- It runs after the USB dissector, on every frame of a Linux USB capture, and reads the usbmon
-- header itself: a control transfer of vendor type on a bridge (a device that enumerated as
-- vendor 0x10C4, product 0xEA60, or one whose identity the capture does not show) is named in
-- the Info column, and its fields (from the setup packet, the data sent or the data answered)
-- go into a "Bridge request" tree. A completion is decoded with the request of its submission.

local bridge = Proto("tvbridge", "Bridge request")

local BRIDGE_IDS = { [0x10C4EA60] = true }

local REQUEST_NAMES = {
  [0x00] = "InterfaceEnable",
  [0x03] = "LineControl",
  [0x05] = "Break",
  [0x06] = "ImmediateChar",
  [0x07] = "ModemHandshake",
  [0x08] = "ModemStatus",
  [0x0F] = "Properties",
  [0x10] = "CommStatus",
  [0x11] = "Reset",
  [0x12] = "Purge",
  [0x13] = "Flow",
  [0x19] = "SpecialChars",
  [0x1E] = "BaudRate",
  [0xFF] = "Vendor",
}
local VENDOR_NAMES = { [0x370B] = "PartNumber", [0x37E1] = "WriteLatch", [0x00C2] = "ReadLatch" }
local PARITY = { [0] = "none", [1] = "odd", [2] = "even", [3] = "mark", [4] = "space" }
local PARITY_LETTER = { [0] = "N", [1] = "O", [2] = "E", [3] = "M", [4] = "S" }
local STOP_BITS = { [0] = "1", [1] = "1.5", [2] = "2" }
local DTR_MODE = { [0] = "off", [1] = "on", [2] = "handshake" }
local RTS_MODE = { [0] = "off", [1] = "on", [2] = "handshake", [3] = "on while transmitting" }
local ENABLE = { [0x0000] = "disable", [0xFFFF] = "enable" }
local ON_OFF = { [0] = "off", [1] = "on" }

local pf = {
  request = ProtoField.uint8("tvbridge.request", "Request", base.HEX, REQUEST_NAMES),
  vendor = ProtoField.uint16("tvbridge.vendor", "Vendor request", base.HEX, VENDOR_NAMES),
  name = ProtoField.string("tvbridge.name", "Name"),
  stage = ProtoField.string("tvbridge.stage", "Stage"),
  interface = ProtoField.uint16("tvbridge.interface", "Interface", base.DEC),
  status = ProtoField.int32("tvbridge.status", "Status", base.DEC),
  enable = ProtoField.uint16("tvbridge.enable", "Interface", base.HEX, ENABLE),
  baud = ProtoField.uint32("tvbridge.baud", "Baud rate", base.DEC),
  line = ProtoField.uint16("tvbridge.line", "Line control", base.HEX),
  data_bits = ProtoField.uint16("tvbridge.line.data_bits", "Data bits", base.DEC, nil, 0xFF00),
  parity = ProtoField.uint16("tvbridge.line.parity", "Parity", base.DEC, PARITY, 0x00F0),
  stop_bits = ProtoField.uint16("tvbridge.line.stop_bits", "Stop bits", base.DEC, STOP_BITS, 0x000F),
  break_state = ProtoField.uint16("tvbridge.break", "Break", base.DEC, ON_OFF),
  char = ProtoField.uint16("tvbridge.char", "Character", base.HEX),
  handshake = ProtoField.uint16("tvbridge.handshake", "Handshake word", base.HEX),
  hs_dtr_sel = ProtoField.bool("tvbridge.handshake.dtr_select", "DTR changed", 16, nil, 0x0100),
  hs_dtr = ProtoField.bool("tvbridge.handshake.dtr", "DTR high", 16, nil, 0x0001),
  hs_rts_sel = ProtoField.bool("tvbridge.handshake.rts_select", "RTS changed", 16, nil, 0x0200),
  hs_rts = ProtoField.bool("tvbridge.handshake.rts", "RTS high", 16, nil, 0x0002),
  modem = ProtoField.uint8("tvbridge.modem", "Modem status", base.HEX),
  m_cts = ProtoField.bool("tvbridge.modem.cts", "CTS", 8, nil, 0x10),
  m_dsr = ProtoField.bool("tvbridge.modem.dsr", "DSR", 8, nil, 0x20),
  m_ri = ProtoField.bool("tvbridge.modem.ri", "RI (ring)", 8, nil, 0x40),
  m_dcd = ProtoField.bool("tvbridge.modem.dcd", "DCD (carrier)", 8, nil, 0x80),
  m_dtr = ProtoField.bool("tvbridge.modem.dtr", "DTR (output)", 8, nil, 0x01),
  m_rts = ProtoField.bool("tvbridge.modem.rts", "RTS (output)", 8, nil, 0x02),
  purge = ProtoField.uint16("tvbridge.purge", "Purge flags", base.HEX),
  p_txabort = ProtoField.bool("tvbridge.purge.tx_abort", "Abort transmit", 16, nil, 0x01),
  p_rxabort = ProtoField.bool("tvbridge.purge.rx_abort", "Abort receive", 16, nil, 0x02),
  p_txclear = ProtoField.bool("tvbridge.purge.tx_clear", "Clear transmit queue", 16, nil, 0x04),
  p_rxclear = ProtoField.bool("tvbridge.purge.rx_clear", "Clear receive queue", 16, nil, 0x08),
  control_hs = ProtoField.uint32("tvbridge.flow.control_handshake", "Control handshake", base.HEX),
  f_dtr_mode = ProtoField.uint32("tvbridge.flow.dtr_mode", "DTR mode", base.DEC, DTR_MODE, 0x03),
  f_cts = ProtoField.bool("tvbridge.flow.cts_handshake", "CTS handshake", 32, nil, 0x08),
  f_dsr = ProtoField.bool("tvbridge.flow.dsr_handshake", "DSR handshake", 32, nil, 0x10),
  f_dsr_sens = ProtoField.bool("tvbridge.flow.dsr_sensitivity", "DSR sensitivity", 32, nil, 0x40),
  replace = ProtoField.uint32("tvbridge.flow.flow_replace", "Flow replace", base.HEX),
  f_xon_out = ProtoField.bool("tvbridge.flow.xonxoff_output", "XON/XOFF on output", 32, nil, 0x01),
  f_xon_in = ProtoField.bool("tvbridge.flow.xonxoff_input", "XON/XOFF on input", 32, nil, 0x02),
  f_err_char = ProtoField.bool("tvbridge.flow.error_char", "Error character replacement", 32, nil, 0x04),
  f_null = ProtoField.bool("tvbridge.flow.null_strip", "Null stripping", 32, nil, 0x08),
  f_rts_mode = ProtoField.uint32("tvbridge.flow.rts_mode", "RTS mode", base.DEC, RTS_MODE, 0xC0),
  f_tx_cont = ProtoField.bool("tvbridge.flow.tx_continue", "Transmit continues after XOFF sent", 32, nil, 0x80000000),
  xon_limit = ProtoField.uint32("tvbridge.flow.xon_limit", "XON limit", base.DEC),
  xoff_limit = ProtoField.uint32("tvbridge.flow.xoff_limit", "XOFF limit", base.DEC),
  eof_char = ProtoField.uint8("tvbridge.chars.eof", "EOF character", base.HEX),
  error_char = ProtoField.uint8("tvbridge.chars.error", "Error character", base.HEX),
  break_char = ProtoField.uint8("tvbridge.chars.break", "Break character", base.HEX),
  event_char = ProtoField.uint8("tvbridge.chars.event", "Event character", base.HEX),
  xon_char = ProtoField.uint8("tvbridge.chars.xon", "XON character", base.HEX),
  xoff_char = ProtoField.uint8("tvbridge.chars.xoff", "XOFF character", base.HEX),
  cs_errors = ProtoField.uint32("tvbridge.comm.errors", "Errors", base.HEX),
  cs_hold = ProtoField.uint32("tvbridge.comm.hold_reasons", "Hold reasons", base.HEX),
  h_cts = ProtoField.bool("tvbridge.comm.cts_hold", "Waiting for CTS", 32, nil, 0x01),
  h_dsr = ProtoField.bool("tvbridge.comm.dsr_hold", "Waiting for DSR", 32, nil, 0x02),
  h_rlsd = ProtoField.bool("tvbridge.comm.rlsd_hold", "Waiting for DCD", 32, nil, 0x04),
  h_xoff = ProtoField.bool("tvbridge.comm.xoff_hold", "Held by XOFF received", 32, nil, 0x08),
  h_xoff_sent = ProtoField.bool("tvbridge.comm.xoff_sent", "XOFF sent", 32, nil, 0x10),
  cs_rx = ProtoField.uint32("tvbridge.comm.rx_queued", "Receive queue", base.DEC),
  cs_tx = ProtoField.uint32("tvbridge.comm.tx_queued", "Transmit queue", base.DEC),
  cs_eof = ProtoField.uint8("tvbridge.comm.eof_received", "EOF received", base.DEC),
  cs_imm = ProtoField.uint8("tvbridge.comm.wait_for_immediate", "Immediate character waiting", base.DEC),
  pr_max_tx = ProtoField.uint32("tvbridge.properties.max_tx_queue", "Maximum transmit queue", base.DEC),
  pr_max_rx = ProtoField.uint32("tvbridge.properties.max_rx_queue", "Maximum receive queue", base.DEC),
  pr_max_baud = ProtoField.uint32("tvbridge.properties.max_baud", "Maximum baud", base.HEX),
  pr_settable_baud = ProtoField.uint32("tvbridge.properties.settable_baud", "Settable baud rates", base.HEX),
  pr_cur_tx = ProtoField.uint32("tvbridge.properties.tx_queue", "Transmit queue", base.DEC),
  pr_cur_rx = ProtoField.uint32("tvbridge.properties.rx_queue", "Receive queue", base.DEC),
  part = ProtoField.uint8("tvbridge.part_number", "Part number", base.DEC),
  latch_mask = ProtoField.uint8("tvbridge.latch.mask", "Latch mask", base.HEX),
  latch_value = ProtoField.uint8("tvbridge.latch.value", "Latch value", base.HEX),
  latch = ProtoField.uint8("tvbridge.latch", "Latch", base.HEX),
}
local field_list = {}
for _, f in pairs(pf) do field_list[#field_list + 1] = f end
bridge.fields = field_list

local usb_urb_type = Field.new("usb.urb_type")

-- State built on the first pass: the setup packet of every submission (by URB id), the device
-- behind each bus address, and for every frame the setup its completion belongs to.
local submissions = {}
local identities = {}
local frame_setup = {}

function bridge.init()
  submissions = {}
  identities = {}
  frame_setup = {}
end

local function hex2(v) return string.format("0x%02X", v) end

local function status_text(status)
  if status == 0 then return nil end
  local names = { [-32] = "stalled (-EPIPE)", [-2] = "cancelled (-ENOENT)",
                  [-104] = "unlinked (-ECONNRESET)", [-108] = "device gone (-ESHUTDOWN)",
                  [-71] = "protocol error (-EPROTO)", [-84] = "CRC error (-EILSEQ)",
                  [-62] = "no answer (-ETIME)", [-121] = "short (-EREMOTEIO)" }
  return names[status] or ("error " .. status)
end

local function modem_text(b)
  local parts = {}
  for _, l in ipairs({ { 0x10, "CTS" }, { 0x20, "DSR" }, { 0x40, "RI" }, { 0x80, "DCD" } }) do
    if bit.band(b, l[1]) ~= 0 then parts[#parts + 1] = l[2] end
  end
  return #parts > 0 and table.concat(parts, " ") or "no inputs on"
end

local function flags_text(v, names)
  local parts = {}
  for _, n in ipairs(names) do
    if bit.band(v, n[1]) ~= 0 then parts[#parts + 1] = n[2] end
  end
  return #parts > 0 and table.concat(parts, "|") or "none"
end

-- Decodes one frame of a request. `s` is the setup packet (a table), `range(off, len)` the
-- frame's bytes, `data`/`dlen` the data stage in this frame. Returns the Info text.
local function decode(s, sub, tvb, data, dlen, submit)
  local r = s.bRequest
  local name = REQUEST_NAMES[r] or string.format("Request 0x%02X", r)
  local setup_value = s.offset and tvb(s.offset + 2, 2) or nil
  local text
  if r == 0xFF then
    local v = VENDOR_NAMES[s.wValue] or string.format("0x%04X", s.wValue)
    name = "Vendor " .. v
    if submit then sub:add_le(pf.vendor, tvb(s.offset + 2, 2)) end
  end
  sub:add(pf.name, name)
  if submit and bit.band(s.bmRequestType, 0x1F) == 1 then
    sub:add_le(pf.interface, tvb(s.offset + 4, 2))
  end
  text = name
  if r == 0x00 and submit then
    sub:add_le(pf.enable, setup_value)
    text = name .. " " .. (ENABLE[s.wValue] or string.format("0x%04X", s.wValue))
  elseif r == 0x03 and submit then
    local t = sub:add_le(pf.line, setup_value)
    t:add_le(pf.data_bits, setup_value)
    t:add_le(pf.parity, setup_value)
    t:add_le(pf.stop_bits, setup_value)
    local stop = bit.band(s.wValue, 0x0F)
    local parity = bit.band(bit.rshift(s.wValue, 4), 0x0F)
    text = string.format("%s %d%s%s", name, bit.rshift(s.wValue, 8), PARITY_LETTER[parity] or "?",
                         STOP_BITS[stop] or "?")
  elseif r == 0x05 and submit then
    sub:add_le(pf.break_state, setup_value)
    text = name .. " " .. (ON_OFF[s.wValue] or tostring(s.wValue))
  elseif r == 0x06 and submit then
    sub:add_le(pf.char, setup_value)
    text = name .. " " .. hex2(s.wValue)
  elseif r == 0x07 and submit then
    local t = sub:add_le(pf.handshake, setup_value)
    t:add_le(pf.hs_dtr_sel, setup_value)
    t:add_le(pf.hs_dtr, setup_value)
    t:add_le(pf.hs_rts_sel, setup_value)
    t:add_le(pf.hs_rts, setup_value)
    local lines = {}
    if bit.band(s.wValue, 0x0100) ~= 0 then
      lines[#lines + 1] = "DTR " .. (bit.band(s.wValue, 0x01) ~= 0 and "on" or "off")
    end
    if bit.band(s.wValue, 0x0200) ~= 0 then
      lines[#lines + 1] = "RTS " .. (bit.band(s.wValue, 0x02) ~= 0 and "on" or "off")
    end
    text = name .. " " .. (#lines > 0 and table.concat(lines, ", ") or "no line")
  elseif r == 0x08 and not submit and dlen >= 1 then
    local b = tvb(data, 1)
    local t = sub:add(pf.modem, b)
    for _, f in ipairs({ pf.m_cts, pf.m_dsr, pf.m_ri, pf.m_dcd, pf.m_dtr, pf.m_rts }) do t:add(f, b) end
    text = name .. ": " .. modem_text(b:uint())
  elseif r == 0x0F and not submit and dlen >= 60 then
    sub:add_le(pf.pr_max_tx, tvb(data + 16, 4))
    sub:add_le(pf.pr_max_rx, tvb(data + 20, 4))
    sub:add_le(pf.pr_max_baud, tvb(data + 24, 4))
    sub:add_le(pf.pr_settable_baud, tvb(data + 36, 4))
    sub:add_le(pf.pr_cur_tx, tvb(data + 44, 4))
    sub:add_le(pf.pr_cur_rx, tvb(data + 48, 4))
  elseif r == 0x10 and not submit and dlen >= 18 then
    sub:add_le(pf.cs_errors, tvb(data, 4))
    local hold = tvb(data + 4, 4)
    local t = sub:add_le(pf.cs_hold, hold)
    for _, f in ipairs({ pf.h_cts, pf.h_dsr, pf.h_rlsd, pf.h_xoff, pf.h_xoff_sent }) do t:add_le(f, hold) end
    sub:add_le(pf.cs_rx, tvb(data + 8, 4))
    sub:add_le(pf.cs_tx, tvb(data + 12, 4))
    sub:add(pf.cs_eof, tvb(data + 16, 1))
    sub:add(pf.cs_imm, tvb(data + 17, 1))
    text = string.format("%s: hold %s, transmit queue %d", name,
      flags_text(hold:le_uint(), { { 0x01, "CTS" }, { 0x02, "DSR" }, { 0x04, "DCD" },
                                   { 0x08, "XOFF" }, { 0x10, "XOFF sent" } }),
      tvb(data + 12, 4):le_uint())
  elseif r == 0x12 and submit then
    local t = sub:add_le(pf.purge, setup_value)
    for _, f in ipairs({ pf.p_txabort, pf.p_rxabort, pf.p_txclear, pf.p_rxclear }) do t:add_le(f, setup_value) end
    text = name .. " " .. flags_text(s.wValue, { { 0x01, "TXABORT" }, { 0x02, "RXABORT" },
                                                { 0x04, "TXCLEAR" }, { 0x08, "RXCLEAR" } })
  elseif r == 0x13 and submit and dlen >= 16 then
    local ch = tvb(data, 4)
    local t = sub:add_le(pf.control_hs, ch)
    for _, f in ipairs({ pf.f_dtr_mode, pf.f_cts, pf.f_dsr, pf.f_dsr_sens }) do t:add_le(f, ch) end
    local fr = tvb(data + 4, 4)
    t = sub:add_le(pf.replace, fr)
    for _, f in ipairs({ pf.f_xon_out, pf.f_xon_in, pf.f_err_char, pf.f_null, pf.f_rts_mode, pf.f_tx_cont }) do
      t:add_le(f, fr)
    end
    sub:add_le(pf.xon_limit, tvb(data + 8, 4))
    sub:add_le(pf.xoff_limit, tvb(data + 12, 4))
    local c, f = ch:le_uint(), fr:le_uint()
    local out = {}
    if bit.band(c, 0x08) ~= 0 then out[#out + 1] = "CTS" end
    if bit.band(c, 0x10) ~= 0 then out[#out + 1] = "DSR" end
    if bit.band(f, 0x01) ~= 0 then out[#out + 1] = "XON/XOFF out" end
    if bit.band(f, 0x02) ~= 0 then out[#out + 1] = "XON/XOFF in" end
    text = string.format("%s DTR %s, RTS %s, handshake %s, XON limit %d, XOFF limit %d", name,
      DTR_MODE[bit.band(c, 0x03)] or "?", RTS_MODE[bit.rshift(bit.band(f, 0xC0), 6)],
      #out > 0 and table.concat(out, "+") or "none", tvb(data + 8, 4):le_uint(),
      tvb(data + 12, 4):le_uint())
  elseif r == 0x19 and submit and dlen >= 6 then
    local fields = { pf.eof_char, pf.error_char, pf.break_char, pf.event_char, pf.xon_char, pf.xoff_char }
    for i, f in ipairs(fields) do sub:add(f, tvb(data + i - 1, 1)) end
    text = string.format("%s EOF %s, error %s, event %s, XON %s, XOFF %s", name,
      hex2(tvb(data, 1):uint()), hex2(tvb(data + 1, 1):uint()), hex2(tvb(data + 3, 1):uint()),
      hex2(tvb(data + 4, 1):uint()), hex2(tvb(data + 5, 1):uint()))
  elseif r == 0x1E and submit and dlen >= 4 then
    sub:add_le(pf.baud, tvb(data, 4))
    text = string.format("%s %d", name, tvb(data, 4):le_uint())
  elseif r == 0xFF then
    if s.wValue == 0x370B and not submit and dlen >= 1 then
      sub:add(pf.part, tvb(data, 1))
      text = string.format("%s: %d", name, tvb(data, 1):uint())
    elseif s.wValue == 0x37E1 and submit then
      if bit.band(s.bmRequestType, 0x1F) == 0 then
        sub:add(pf.latch_mask, tvb(s.offset + 4, 1))
        sub:add(pf.latch_value, tvb(s.offset + 5, 1))
        text = string.format("%s mask %s value %s", name, hex2(bit.band(s.wIndex, 0xFF)),
                             hex2(bit.rshift(s.wIndex, 8)))
      elseif dlen >= 2 then
        sub:add(pf.latch_mask, tvb(data, 1))
        sub:add(pf.latch_value, tvb(data + 1, 1))
        text = string.format("%s mask %s value %s", name, hex2(tvb(data, 1):uint()),
                             hex2(tvb(data + 1, 1):uint()))
      end
    elseif s.wValue == 0x00C2 and not submit and dlen >= 1 then
      sub:add(pf.latch, tvb(data, 1))
      text = string.format("%s: %s", name, hex2(tvb(data, 1):uint()))
    end
  end
  return text
end

local function is_bridge(key)
  local id = identities[key]
  return id == nil or BRIDGE_IDS[id] == true
end

function bridge.dissector(tvb, pinfo, tree)
  if not usb_urb_type() or tvb:len() < 48 then return end
  local kind = tvb(8, 1):uint()
  if tvb(9, 1):uint() ~= 2 or (kind ~= 0x53 and kind ~= 0x43) then return end
  local submit = kind == 0x53
  local urb = tostring(tvb(0, 8):le_uint64())
  local key = tvb(12, 2):le_uint() .. "." .. tvb(11, 1):uint()
  local dlen = tvb(36, 4):le_uint()
  local data = tvb:len() - dlen  -- the data follows the 48- or 64-byte header
  local status = tvb(28, 4):le_int()
  local s
  if submit then
    local t = tvb(40, 1):uint()
    s = { bmRequestType = t, bRequest = tvb(41, 1):uint(), wValue = tvb(42, 2):le_uint(),
          wIndex = tvb(44, 2):le_uint(), wLength = tvb(46, 2):le_uint(), offset = 40 }
    if not pinfo.visited then submissions[urb] = s end
  else
    if not pinfo.visited then frame_setup[pinfo.number] = submissions[urb] end
    s = frame_setup[pinfo.number]
    if not s then return end
    -- A device descriptor answered: the identity of the device at this address.
    if s.bmRequestType == 0x80 and s.bRequest == 0x06 and bit.rshift(s.wValue, 8) == 1 and
       dlen >= 12 and not pinfo.visited then
      identities[key] = tvb(data + 8, 2):le_uint() * 65536 + tvb(data + 10, 2):le_uint()
    end
  end
  if bit.band(s.bmRequestType, 0x60) ~= 0x40 or not is_bridge(key) then return end
  local sub = tree:add(bridge, tvb(), "Bridge request")
  sub:add(pf.request, s.bRequest)
  sub:add(pf.stage, submit and "submission" or "completion")
  local view = s
  if not submit then view = { bmRequestType = s.bmRequestType, bRequest = s.bRequest,
                              wValue = s.wValue, wIndex = s.wIndex, wLength = s.wLength } end
  local text = decode(view, sub, tvb, data, dlen, submit)
  local problem = status_text(submit and 0 or status)
  if problem then
    sub:add(pf.status, status)
    text = text .. " " .. problem
  end
  pinfo.cols.protocol = "BRIDGE"
  pinfo.cols.info = text .. (submit and "" or " (completion)")
end

register_postdissector(bridge)
