// CRC-16/XMODEM of the framed upgrade commands: polynomial 0x1021, initial value 0, most
// significant bit first, no reflection, no final XOR (check value 0x31C3 for "123456789").
#pragma once

#include <cstddef>
#include <cstdint>

// `crc` continues an earlier run (0 to start). Any thread.
uint16_t crc16(const unsigned char* data, size_t length, uint16_t crc = 0);
