// Stage 3: the firmware image. The baud byte, the memory check, the fixed size header, the
// length header, the image in chunks of 4000 each acknowledged by 0xAA, the even and odd XOR
// checksums, and the module's final 0xA5; then the success box, module reset and reboot.
//
// Only an answer that follows its request counts: the receive queue is cleared before each
// request that awaits one (0x50, 0x54, every chunk, the checksums). A module that stops
// acknowledging ends the stage as failed (MissedAck) instead of costing a time-out per chunk,
// and so do more than MaxImageNoiseBytes other bytes while acknowledgements are awaited.
#include <cstring>

#include "device/radio.h"
#include "device/reboot.h"
#include "update/cechat.h"
#include "update/payloads.h"
#include "update/protocol.h"
#include "update/update.h"

namespace update {


namespace {

constexpr std::uint32_t ImageChunkSize = 4000;
constexpr std::int32_t MarksPerLine = 23;
constexpr int MaxMissedAcksInRow = 2;
constexpr int MaxMissedAcks = 3;

// The stage gives up on a module that stopped answering: as a failed final wait would.
std::int32_t GiveUp() {
    platform::TracePrint("Update firmware FAIL!!!");
    return 0;
}

// An acknowledgement of stage 3, counting what else came meanwhile.
bool AwaitAck(std::uint8_t byte, AckTally* tally) {
    return WaitForModuleAck(byte, &tally->dropped, MaxImageNoiseBytes) != 0;
}

bool Noisy(const AckTally& tally) { return tally.dropped > MaxImageNoiseBytes; }

}  // namespace

bool TooManyMissed(const AckTally& tally) {
    return tally.in_row >= MaxMissedAcksInRow || tally.total >= MaxMissedAcks;
}

bool MissedAck(AckTally* tally, bool acknowledged) {
    if (acknowledged) {
        tally->in_row = 0;
    } else {
        ++tally->in_row;
        ++tally->total;
    }
    return TooManyMissed(*tally);
}

namespace {

// Copies the chunk at `offset` into `chunk` and adds it to the checksums; its length (0 past
// the end).
std::uint32_t PrepareChunk(const std::uint8_t* image, std::uint32_t length, std::uint32_t offset,
                           std::uint8_t* chunk, ImageChecksums* sums) {
    const std::uint32_t left = length - offset;
    const std::uint32_t chunk_length = left <= ImageChunkSize ? left : ImageChunkSize;
    if (chunk_length == 0) return 0;  // past the end: an empty image may have no bytes at all
    std::memcpy(chunk, image + offset, chunk_length);
    for (std::uint32_t p = 0; p < chunk_length; ++p) {
        if (p % 2 == 0) sums->even ^= chunk[p];
        else sums->odd ^= chunk[p];
    }
    return chunk_length;
}

}  // namespace

bool StreamImage(platform::Hwnd window, const std::uint8_t* image, std::uint32_t length,
                 ImageChecksums* sums, AckTally* tally) {
    std::uint8_t chunks[2][ImageChunkSize];
    int current = 0;
    std::uint32_t sent = 0;
    std::int32_t marks = 0;
    sums->even = 0;
    sums->odd = 0;
    RunNote progress{RunStep::Progress};
    progress.stage = 3;
    progress.total = length;
    progress.chunk_total = (length + ImageChunkSize - 1) / ImageChunkSize;
    std::uint32_t chunk_length = PrepareChunk(image, length, 0, chunks[current], sums);
    while (sent != length) {
        sent += chunk_length;
        DiscardModuleInput();
        std::uint32_t written = WriteToModule(chunks[current], chunk_length);
        platform::TracePrint("Write %d bytes!, Totally write %d bytes\r\n", static_cast<int>(written),
                          static_cast<int>(sent));
        progress.bytes = sent;
        ++progress.chunks;
        NoteRun(progress);
        ++marks;
        platform::SayQuietLine(Lines(), window, "#");
        marks %= MarksPerLine;
        if (marks == 0) platform::SayQuietLine(Lines(), window, "\r\n");
        // A dead line takes nothing more: a write it cut short ends the stage instead of the next.
        if (written < chunk_length && ModuleLinkLost()) return false;
        if (chunk_length < ImageChunkSize) {
            platform::TracePrint(" The last section sent; %d chars!!\r\n", static_cast<int>(written));
            break;
        }
        // The next chunk is made ready while this one is still on the wire.
        current = 1 - current;
        chunk_length = PrepareChunk(image, length, sent, chunks[current], sums);
        const bool acknowledged = AwaitAck(ChunkAckByte, tally);
        if ((!acknowledged && ModuleLinkLost()) || Noisy(*tally) || MissedAck(tally, acknowledged)) return false;
    }
    return true;
}

namespace {

// The stage itself; DownloadFirmwareImage keeps what it dropped for the run's verdict.
std::int32_t SendImageStage(platform::Hwnd window, AckTally* tally) {
    std::uint8_t header[3] = {0, 0, 0};

    DiscardModuleInput();
    SendModuleByte(BaudRateByte);
    platform::TracePrint("Send 0x50 to configure baudrate as 115.2k !!!\r\n");
    platform::Sleep(100);

    platform::TracePrint("Memory Check, We would get 3 char here !!!!\r\n");
    const bool memory_checked = WaitForModuleByte(AcceptByte) != 0;
    platform::TracePrint("Memory Check, We should get 3 char above !!!!\r\n");
    MissedAck(tally, memory_checked);

    DiscardModuleInput();
    SendModuleByte(SizeCommandByte);
    std::memcpy(header, FixedSizeHeader, sizeof header);
    platform::TracePrint("Write fixed file size\r\n");
    WriteToModule(header, 3);
    for (int i = 0; i < 3; ++i) {
        const bool acknowledged = AwaitAck(AcceptByte, tally);
        if (ModuleLinkLost()) return 0;
        if (Noisy(*tally) || MissedAck(tally, acknowledged)) return GiveUp();
    }

    const std::uint8_t* image = LoadPayload(PayloadFirmware);
    platform::TracePrint("Download.bin open succeed!!!! \r\n");  // whatever the fetch gave
    if (image == nullptr) {
        // The image is never streamed from a null address.
        platform::TracePrint("Download.bin : Read File Error!!!\r\n");
        return 0;
    }

    header[0] = static_cast<std::uint8_t>(FirmwareLength / 65536);
    header[1] = static_cast<std::uint8_t>((FirmwareLength / 256) % 256);
    header[2] = static_cast<std::uint8_t>(FirmwareLength % 256);
    WriteToModule(header, 3);
    platform::TracePrint("Write the compressed file size\r\n");
    platform::Sleep(20);

    ImageChecksums sums{};
    if (!StreamImage(window, image, FirmwareLength, &sums, tally)) return ModuleLinkLost() ? 0 : GiveUp();

    platform::TracePrint(" Sending Checksum %X  %X !!\r\n", static_cast<unsigned>(sums.even),
                      static_cast<unsigned>(sums.odd));
    // Only an 0xA5 sent after the checksums confirms the image.
    DiscardModuleInput();
    SendModuleByte(sums.even);
    SendModuleByte(sums.odd);
    platform::TracePrint("File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n",
                      static_cast<int>(FirmwareLength), static_cast<unsigned>(FirmwareLength),
                      static_cast<unsigned>(header[0]), static_cast<unsigned>(header[1]),
                      static_cast<unsigned>(header[2]));

    if (!AwaitAck(AcceptByte, tally)) return GiveUp();
    // The pane says it once the verdict stands (update/verify.cpp).
    platform::TracePrint("Firmware Updated....Done");
    if (auto confirmed = UpdateRunOf().report.image_confirmed) confirmed();
    UpdateRunOf().state.image_confirmed.store(true);
    platform::Sleep(200);
    // The new firmware starts with this reset; the reboot waits for the run's verdict.
    device::ResetModule(platform::NoWindow);
    return 1;
}

}  // namespace

std::int32_t DownloadFirmwareImage(platform::Hwnd window) {
    AckTally tally;
    const std::int32_t result = SendImageStage(window, &tally);
    if (Noisy(tally)) platform::TracePrint(" Line noise: %u bytes other than acknowledgements\r\n", tally.dropped);
    UpdateRunOf().state.noise_bytes.store(tally.dropped);
    return result;
}

}  // namespace update
