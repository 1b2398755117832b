// Stages 1 and 2: the two boot loaders. Stage 1 is one framed write (length, loader, XOR);
// stage 2 is the size high byte first, the loader in chunks of 1000 each acknowledged by 0xAA,
// and the XOR byte. Only the module's final 0xA5 decides a stage. What the module sent before
// a request is dropped just before it goes out, so a stale byte never stands for its answer.
#include <cstring>

#include "update/cechat.h"
#include "update/payloads.h"
#include "update/protocol.h"
#include "update/update.h"

namespace update {
namespace {

constexpr std::uint32_t Boot2ChunkSize = 1000;

}  // namespace

std::int32_t UploadBootLoader1() {
    platform::TracePrint("Bootload1_v2.bin open succeed!!!!\r\n");
    const std::uint8_t* loader = LoadPayload(PayloadBoot1);
    if (loader == nullptr) {
        platform::TracePrint("BootLoad_v2_BIN : Read File Error!!!");
        return 0;
    }
    std::uint8_t frame[256];
    std::uint8_t checksum = 0;
    frame[0] = static_cast<std::uint8_t>(Boot1Length);
    for (std::uint32_t i = 0; i < Boot1Length; ++i) {
        frame[1 + i] = loader[i];
        checksum ^= loader[i];
    }
    frame[1 + Boot1Length] = checksum;
    DiscardModuleInput();
    WriteToModule(frame, Boot1Length + 2);
    return WaitForModuleByte(AcceptByte) ? 1 : 0;
}

std::uint8_t SendLoaderChunks(const std::uint8_t* loader, std::uint32_t length, std::uint32_t* remaining,
                              AckTally* tally) {
    std::uint8_t chunk[Boot2ChunkSize];
    std::uint8_t checksum = 0;
    std::uint32_t left = length;
    const std::uint8_t* read_position = loader;
    RunNote progress{RunStep::Progress};
    progress.stage = 2;
    progress.total = length;
    progress.chunk_total = (length + Boot2ChunkSize - 1) / Boot2ChunkSize;
    for (;;) {
        std::uint32_t chunk_length = left >= Boot2ChunkSize ? Boot2ChunkSize : left;
        if (chunk_length > 0) std::memcpy(chunk, read_position, chunk_length);
        left -= chunk_length;
        read_position += chunk_length;
        if (chunk_length == 0) break;
        for (std::uint32_t i = 0; i < chunk_length; ++i) checksum ^= chunk[i];
        DiscardModuleInput();
        WriteToModule(chunk, chunk_length);
        progress.bytes = length - left;
        ++progress.chunks;
        NoteRun(progress);
        if (chunk_length < Boot2ChunkSize) {
            platform::TracePrint(" The last section sent : %d chars!!\r\n", static_cast<int>(chunk_length));
            break;
        }
        // The next chunk follows whatever the wait returned, unless the module stopped answering.
        const bool acknowledged = WaitForModuleByte(ChunkAckByte) != 0;
        if ((!acknowledged && ModuleLinkLost()) || MissedAck(tally, acknowledged)) break;
    }
    *remaining = left;
    return checksum;
}

std::int32_t UploadBootLoader2() {
    const std::uint8_t* loader = LoadPayload(PayloadBoot2);
    platform::TracePrint("Bootload2_v3.bin open succeed!!!! \r\n");  // after the fetch, whatever it gave
    if (loader == nullptr) {
        // Nothing is sent for a loader that cannot be read; the caller starts over.
        platform::TracePrint("BootLoad_v2_BIN : Read File Error!!!");
        return 0;
    }
    const std::uint32_t size_high = Boot2Length / 256;
    const std::uint32_t size_low = Boot2Length % 256;
    SendModuleByte(size_high);
    SendModuleByte(size_low);
    platform::Sleep(20);
    std::uint32_t remaining = 0;
    AckTally tally;
    std::uint8_t checksum = SendLoaderChunks(loader, Boot2Length, &remaining, &tally);
    if (TooManyMissed(tally)) return 0;  // the module stopped answering: a failed stage
    DiscardModuleInput();
    SendModuleByte(checksum);
    platform::TracePrint("Bootload2 : %X  %X  %d checkByte : %X\r\n", size_high, size_low,
                      static_cast<int>(remaining), static_cast<unsigned>(checksum));
    return WaitForModuleByte(AcceptByte) ? 1 : 0;
}

}  // namespace update
