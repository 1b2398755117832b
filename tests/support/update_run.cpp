#include "tests/support/update_run.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/base/sha256.h"
#include "tests/support/files.h"
#include "update/payloads.h"

namespace fwu_test {
namespace {

std::string Format(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// A byte printed with %c: its Latin-1 character in UTF-8.
std::string Latin1(std::uint8_t byte) {
    if (byte < 0x80) return std::string(1, static_cast<char>(byte));
    return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

// The handsets of the tests run the payload set's image as its revision, as the program's own.
const bool SetKnown = [] {
    sim::KnownFirmware(update::CurrentPayloadSet().sha256, update::CurrentPayloadSet().revision);
    return true;
}();

}  // namespace

std::vector<std::string> UpdateEnv(const TempDir& runtime, const sim::Handset& handset) {
    return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path(), "FIRMWARE_UTILITY_PROFILE=" + handset.ProfilePath()};
}

std::string ReadText(const std::string& path) { return ReadFile(path); }

std::string TraceFromOpen(const std::string& trace) {
    std::size_t at = trace.find("Open : COM1:\r\n");
    return at == std::string::npos ? std::string() : trace.substr(at);
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

std::string FirstDifference(const std::string& actual, const std::string& expected) {
    if (actual == expected) return {};
    std::size_t line = 1, at = 0;
    for (;;) {
        const std::size_t a_end = actual.find('\n', at), e_end = expected.find('\n', at);
        const std::string a = actual.substr(at, a_end == std::string::npos ? std::string::npos : a_end - at + 1);
        const std::string e = expected.substr(at, e_end == std::string::npos ? std::string::npos : e_end - at + 1);
        if (a != e || a_end == std::string::npos || e_end == std::string::npos) {
            return "line " + std::to_string(line) + ": expected \"" + e + "\", got \"" + a + "\"";
        }
        at = a_end + 1;
        ++line;
    }
}

UpdateRun RunUpdate(const sim::Handset& handset, const std::vector<std::string>& extra, int timeout_ms,
                    const std::string& profile) {
    TempDir runtime;
    const std::string trace_path = runtime.path() + "/trace.txt";
    std::vector<std::string> args{"update", "--profile", profile.empty() ? handset.ProfilePath() : profile,
                                  "--trace", trace_path};
    args.insert(args.end(), extra.begin(), extra.end());
    UpdateRun run;
    run.result = RunProgram(args, UpdateEnv(runtime, handset), timeout_ms);
    run.trace = ReadText(trace_path);
    return run;
}

namespace {

std::string TracePath(const Station& station) { return station.runtime.path() + "/trace.txt"; }

void StartStation(Station* station, const std::vector<std::string>& extra) {
    sim::Options options;
    options.module_fault = station->fault;
    std::string error;
    if (!station->handset.Start(options, &error)) {
        ADD_FAILURE() << "handset: " << error;
        return;
    }
    std::vector<std::string> args{"update", "--profile", station->handset.ProfilePath(), "--trace", TracePath(*station)};
    args.insert(args.end(), extra.begin(), extra.end());
    station->start = std::chrono::steady_clock::now();
    station->program = std::make_unique<RunningProgram>(args, UpdateEnv(station->runtime, station->handset));
}

void FinishStation(Station* station, int timeout_ms) {
    if (!station->program) return;
    station->run.result = station->program->Wait(timeout_ms);
    station->took = std::chrono::steady_clock::now() - station->start;
    station->run.trace = ReadText(TracePath(*station));
}

}  // namespace

std::vector<std::unique_ptr<Station>> RunStations(const std::vector<sim::RomFault>& faults,
                                                  const std::vector<std::string>& extra, std::size_t parallel,
                                                  int timeout_ms) {
    std::vector<std::unique_ptr<Station>> stations;
    std::size_t finished = 0;
    for (const sim::RomFault& fault : faults) {
        // Stations end in the order they started: a station's time seen here is never longer
        // than the longest run among those before it and itself.
        if (stations.size() - finished == parallel) FinishStation(stations[finished++].get(), timeout_ms);
        stations.push_back(std::make_unique<Station>());
        stations.back()->fault = fault;
        StartStation(stations.back().get(), extra);
    }
    while (finished < stations.size()) FinishStation(stations[finished++].get(), timeout_ms);
    return stations;
}

void ExpectedTrace::Wait(std::uint8_t byte) { text_ += Format("Waiting for char -> %X h\r\n", byte); }
void ExpectedTrace::Got(std::uint8_t byte) {
    text_ += "A byte got from TRX37A : " + Latin1(byte) + Format(" , %X h\r\n", byte);
}
void ExpectedTrace::Sent(std::uint8_t byte) { text_ += Format(" 1 char : %X h sent \r\n", byte); }

ExpectedTrace& ExpectedTrace::Open() {
    text_ += "Open : COM1:\r\nOpen com port succeed!!\r\n";
    return *this;
}

ExpectedTrace& ExpectedTrace::OpenFailed(int error, const std::string& explanation) {
    text_ += Format("Open : COM1:\r\nError (%d: %s) opening COM1:\r\n", error, std::strerror(error));
    text_ += explanation + "\r\nOpen com port failed!!\r\n";
    return *this;
}

ExpectedTrace& ExpectedTrace::Handshake(const std::vector<std::uint8_t>& before) {
    text_ += "!Cast 55h!\r\n";
    Wait(0xA0);
    for (std::uint8_t byte : before) Got(byte);
    Got(0xA0);
    text_ += " Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n";
    return *this;
}

ExpectedTrace& ExpectedTrace::Stage1(bool accepted) {
    text_ += "Bootload1_v2.bin open succeed!!!!\r\nget resource IDR_BOOT1 succeed!!!!\r\nYes, we lock resources!!!!\r\n";
    Wait(0xA5);
    if (accepted) {
        Got(0xA5);
        text_ += "BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n";
    } else {
        text_ += "None byte got from TRX36 !!\r\n BootLoad1 upload fail!!  Restart sending 55h again!!\r\n";
    }
    return *this;
}

ExpectedTrace& ExpectedTrace::Stage2(bool accepted, int wrong_ack) {
    const std::uint8_t* loader = update::LoadPayload(update::PayloadBoot2);
    std::uint8_t checksum = 0;
    for (std::uint32_t i = 0; i < update::Boot2Length; ++i) checksum ^= loader[i];
    text_ += "get resource IDR_BOOT2 succeed!!!!\r\nYes, we lock resources!!!!\r\nBootload2_v3.bin open succeed!!!! \r\n";
    Sent(0x1C);
    Sent(0xF6);
    for (int chunk = 0; chunk < 7; ++chunk) {
        Wait(0xAA);
        if (chunk == wrong_ack) {
            Got(0x00);
            text_ += "None byte got from TRX36 !!\r\n";
        } else {
            Got(0xAA);
        }
    }
    text_ += " The last section sent : 414 chars!!\r\n";
    Sent(checksum);
    text_ += Format("Bootload2 : 1C  F6  0 checkByte : %X\r\n", checksum);
    Wait(0xA5);
    if (accepted) {
        Got(0xA5);
        text_ += "BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n";
    } else {
        text_ += "None byte got from TRX36 !!\r\nBootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n";
    }
    return *this;
}

ExpectedTrace& ExpectedTrace::Verified() {
    text_ += std::string(" AT COM2: after: ") + sim::Manufacturer + " " + sim::ModelName + ", revision " +
             update::CurrentPayloadSet().revision + "\r\n";
    return *this;
}

ExpectedTrace& ExpectedTrace::Stage3(bool accepted) {
    const std::uint8_t* image = update::LoadPayload(update::PayloadFirmware);
    std::uint8_t even = 0, odd = 0;
    for (std::uint32_t i = 0; i < update::FirmwareLength; ++i) (i % 2 ? odd : even) ^= image[i];
    Sent(0x50);
    text_ += "Send 0x50 to configure baudrate as 115.2k !!!\r\nMemory Check, We would get 3 char here !!!!\r\n";
    Wait(0xA5);
    Got('O');
    Got('K');
    Got(0xA5);
    text_ += "Memory Check, We should get 3 char above !!!!\r\n";
    Sent(0x54);
    text_ += "Write fixed file size\r\n";
    for (int i = 0; i < 3; ++i) {
        Wait(0xA5);
        Got(0xA5);
    }
    text_ += "get resource IDR_FW succeed!!!!\r\nYes, we lock resources!!!!\r\nDownload.bin open succeed!!!! \r\n"
             "Write the compressed file size\r\n";
    for (int chunk = 1; chunk <= 620; ++chunk) {
        text_ += Format("Write 4000 bytes!, Totally write %d bytes\r\n", chunk * 4000);
        Wait(0xAA);
        Got(0xAA);
    }
    text_ += "Write 1250 bytes!, Totally write 2481250 bytes\r\n The last section sent; 1250 chars!!\r\n";
    text_ += Format(" Sending Checksum %X  %X !!\r\n", even, odd);
    Sent(even);
    Sent(odd);
    text_ += "File upload complete!! file size 2481250 , 25DC62 h , Size char 25  DC  62\r\n";
    Wait(0xA5);
    if (accepted) {
        Got(0xA5);
        text_ += "Firmware Updated....Done Upgrade succeed!! \r\n";
    } else {
        text_ += "None byte got from TRX36 !!\r\nUpdate firmware FAIL!!! Write to flash  fail!!  !!\r\n";
    }
    text_ += " Communication Port Closed!!\r\n Communication Port Closed!!\r\n";
    return *this;
}

std::string SuccessPane() {
    std::string pane = "Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n";
    for (int line = 0; line < 27; ++line) pane += std::string(23, '#') + "\r\n";
    pane += "\r\nFirmware Updated....Done\r\n";
    pane += "The module runs the expected firmware, revision " + update::CurrentPayloadSet().revision + "\r\n";
    pane += "[Successful] Reboot device/Reset module !\n";
    return pane;
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string BuiltIn(std::uint32_t kind, std::uint32_t length) {
    return {reinterpret_cast<const char*>(update::LoadPayload(kind)), length};
}

std::string OtherImage() {
    std::string image = BuiltIn(update::PayloadFirmware, update::FirmwareLength);
    for (char& c : image) c = static_cast<char>(c ^ 0x5A);
    return image;
}

std::string Sha(const std::string& bytes) { return platform::Sha256Hex(bytes.data(), bytes.size()); }

void WriteSet(const std::string& dir) {
    Write(dir + "/boot1.bin", BuiltIn(update::PayloadBoot1, update::Boot1Length));
    Write(dir + "/boot2.bin", BuiltIn(update::PayloadBoot2, update::Boot2Length));
    Write(dir + "/filesize.bin", BuiltIn(update::PayloadFileSize, update::FileSizeLength));
    Write(dir + "/fw.bin", OtherImage());
    Write(dir + "/version", std::string(SetRevision) + "\n");
    std::string sums;
    for (const char* name : {"boot1.bin", "boot2.bin", "fw.bin", "version"}) {
        sums += Sha(ReadText(dir + "/" + name)) + "  " + name + "\n";
    }
    Write(dir + "/SHA256SUMS", sums);
    sim::KnownFirmware(Sha(OtherImage()), SetRevision);
}

}  // namespace fwu_test
