// Implemented in bench/minimal_client.cpp.
// The reference of the update benchmark: a client that does only what the download protocol
// asks, as the tool does it, and nothing else (no trace, no window, no events, no purges, no
// lost-line checks, no revision check): it sets the line as the tool does (115,200 baud, 8
// data bits, no parity, 2 stop bits), resets the module through the radio driver's socket,
// casts 0x55 every 10 ms until the 0xA0, sends the first loader as one frame, the second in
// acknowledged chunks of 1000, then stage 3 with the same pauses and the image in acknowledged
// chunks of 4000, its checksums, the final 0xA5, the pause before the reset and that reset.
// Each wait is one blocking read of what the line holds. The payloads are the tool's own.
//
// Index: MinimalPausesMs RunMinimalClient
#pragma once

namespace bench {

// The protocol's pauses between the reset that starts a download and the reset after it:
// after the second loader's size (20 ms), after 0x50 (100 ms), after the image's length
// (20 ms), and after the final 0xA5 (200 ms). The tool makes the same ones.
inline constexpr int SizePauseMs = 20;
inline constexpr int BaudPauseMs = 100;
inline constexpr int LengthPauseMs = 20;
inline constexpr int DonePauseMs = 200;
inline constexpr int MinimalPausesMs = SizePauseMs + BaudPauseMs + LengthPauseMs + DonePauseMs;

// One whole download on the module link at `link` (a tty path) with the radio driver at `ril`
// (a Unix socket path). 0 when the module confirmed the image; else 1 after one line on stderr.
int RunMinimalClient(const char* link, const char* ril);

}  // namespace bench
