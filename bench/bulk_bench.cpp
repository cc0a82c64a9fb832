// QAV_ReadFile and QAV_WriteFile moving 64 KiB against the same pieces sent
// raw, and against the fewest pieces short commands allow.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "family_support.h"
#include "service_calls.h"

namespace bench {
namespace {

constexpr uint32_t kBulkFile = 0xA0F3;
// A read may not reach past position 0xFFFF in one call, so one byte short.
constexpr uint32_t kBulkLength = 0xFFFF;
// Short commands: Le 00 asks for 256 bytes, Lc carries at most 255.
constexpr uint32_t kLargestRead = 256;
constexpr uint32_t kLargestWrite = 255;

Bytes Select(uint32_t fid) {
    return {
        0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
}

// The file selected, then the fewest pieces that move data (a read: as many
// bytes).
std::vector<Bytes> FewestPieces(bool write, const std::vector<uint8_t>& data) {
    const auto length = static_cast<uint32_t>(data.size());
    std::vector<Bytes> commands{Select(kBulkFile)};
    const uint32_t most = write ? kLargestWrite : kLargestRead;
    for (uint32_t done = 0; done < length; done += most) {
        const uint32_t piece = std::min(most, length - done);
        Bytes command{0x00, static_cast<uint8_t>(write ? 0xD6 : 0xB0),
                      static_cast<uint8_t>(done >> 8), static_cast<uint8_t>(done),
                      static_cast<uint8_t>(piece)};
        if (write) command.insert(command.end(), data.begin() + done, data.begin() + done + piece);
        commands.push_back(std::move(command));
    }
    return commands;
}

size_t CountInstruction(const std::vector<RecordedCommand>& commands, uint8_t instruction) {
    return static_cast<size_t>(
        std::count_if(commands.begin(), commands.end(), [instruction](const RecordedCommand& c) {
            return c.kind == RecordedCommand::Kind::kCommand && c.command[1] == instruction;
        }));
}

void RegisterTransfer(Lines& lines, const RawCard& raw, bool write,
                      const std::vector<uint8_t>& data, std::function<bool()> call) {
    const std::string name = write ? "Bulk/WriteFile_64KiB" : "Bulk/ReadFile_64KiB";
    Recording recording = RecordSteadyCall(call);
    if (!recording.ok) {
        RegisterFailure(name, "the export failed while its commands were recorded");
        return;
    }
    const double pieces =
        static_cast<double>(CountInstruction(recording.commands, write ? 0xD6 : 0xB0));
    auto same = std::make_shared<const std::vector<RecordedCommand>>(std::move(recording.commands));
    auto fewest = std::make_shared<const std::vector<Bytes>>(FewestPieces(write, data));
    const double fewestPieces = static_cast<double>(fewest->size() - 1);
    RegisterComparison(
        name, std::move(call),
        {{"same", [&raw, same] { return raw.Replay(*same); }},
         // Outside a transaction: timed apart, it would slow the next one.
         {"fewest",
          [&raw, fewest] {
              return std::all_of(fewest->begin(), fewest->end(),
                                 [&raw](const Bytes& c) { return raw.Command(c) >= 0; });
          },
          true}},
        [pieces, fewestPieces](benchmark::State& state) {
            constexpr double kKiB = kBulkLength / 1024.0;
            const double library_us = state.counters["qav_us"];
            state.counters["qav_bytes_per_s"] = kBulkLength / (library_us * 1e-6);
            state.counters["raw_same_bytes_per_s"] =
                kBulkLength / (state.counters["raw_same_us"] * 1e-6);
            state.counters["throughput_ratio"] = state.counters["raw_same_us"] / library_us;
            state.counters["throughput_ratio_fewest"] =
                state.counters["raw_fewest_us"] / library_us;
            state.counters["pieces_per_kib"] = pieces / kKiB;
            state.counters["fewest_pieces_per_kib"] = fewestPieces / kKiB;
        },
        kLongCallSeconds);
    const char* what = write ? "QAV_WriteFile 64 KiB" : "QAV_ReadFile 64 KiB";
    lines.push_back({name,
                     "throughput_ratio",
                     std::string(what) + " bytes/s / the same pieces raw",
                     {Goal::kAtLeast, 0.98},
                     {"qav_bytes_per_s", "raw_same_bytes_per_s"}});
    lines.push_back({name,
                     "pieces_per_kib",
                     std::string(what) + " commands per KiB",
                     {},
                     {"fewest_pieces_per_kib", "throughput_ratio_fewest"}});
}

}  // namespace

Lines RegisterBulk(const Setup& setup) {
    Lines lines;
    const Key& key = setup.keys.front();
    const QAV_HANDLE device = key.device->Handle();
    // The file grows to its full size once; the benchmarks then rewrite it.
    auto data = std::make_shared<std::vector<uint8_t>>(kBulkLength);
    for (size_t i = 0; i < data->size(); ++i) (*data)[i] = static_cast<uint8_t>(i * 7);
    const auto write = [device, data] {
        return QAV_WriteFile(device, kBulkFile, 0, data->data(), kBulkLength, 0, nullptr, nullptr,
                             nullptr, 0, 0) == QAV_OK;
    };
    uint32_t tries = 0;
    if (QAV_VerifyPIN(device, kPin, &tries, 0) != QAV_OK || !write()) {
        RegisterFailure("Bulk/WriteFile_64KiB", "the key refused the 64 KiB write");
        return lines;
    }
    RegisterTransfer(lines, *key.raw, true, *data, write);
    auto out = std::make_shared<std::vector<uint8_t>>(kBulkLength);
    RegisterTransfer(lines, *key.raw, false, *data, [device, data, out] {
        return QAV_ReadFile(device, kBulkFile, 0, out->data(), kBulkLength, nullptr, 0, 0) ==
                   QAV_OK &&
               *out == *data;
    });
    return lines;
}

}  // namespace bench
