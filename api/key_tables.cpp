#include "api/key_tables.h"

#include "qavseal/qavseal.h"

namespace qav::api {
namespace {

struct SessionAlgorithmRow {
    uint32_t identifier;
    SessionAlgorithm algorithm;
};

constexpr SessionAlgorithmRow kSessionAlgorithms[] = {
    {1, {1, 16}}, {4, {2, 16}}, {8, {4, 8}}, {16, {5, 8}}, {32, {6, 8}}, {64, {7, 16}},
};

struct Mapping {
    uint32_t from;
    uint32_t to;
};

constexpr Mapping kPaddingSelectors[] = {{0, 0}, {1, 3}, {2, 1}};
constexpr Mapping kImportWraps[] = {{kKeyRsa1024, 0}, {kKeyRsa1280, 1}, {kKeySm2, 2}};
constexpr Mapping kExportWraps[] = {{kKeyRsa1024, 0}, {kKeyRsa2048, 1}, {kKeySm2, 2}};

template <size_t N>
uint32_t Map(const Mapping (&table)[N], uint32_t from, uint32_t* to, uint32_t missing) noexcept {
    for (const Mapping& row : table) {
        if (row.from == from) {
            *to = row.to;
            return QAV_OK;
        }
    }
    return missing;
}

}  // namespace

uint32_t LookUpSessionAlgorithm(uint32_t identifier, SessionAlgorithm* algorithm) noexcept {
    for (const SessionAlgorithmRow& row : kSessionAlgorithms) {
        if (row.identifier == identifier) {
            *algorithm = row.algorithm;
            return QAV_OK;
        }
    }
    return QAV_E_BAD_ALGORITHM;
}

uint32_t PaddingModeOfSelector(uint32_t selector, uint32_t* mode) noexcept {
    return Map(kPaddingSelectors, selector, mode, QAV_E_BAD_SELECTOR);
}

uint32_t ImportWrapAlgorithm(uint32_t keyType, uint32_t* wrap) noexcept {
    return Map(kImportWraps, keyType, wrap, QAV_E_BAD_ALGORITHM);
}

uint32_t ExportWrapAlgorithm(uint32_t keyType, uint32_t* wrap) noexcept {
    return Map(kExportWraps, keyType, wrap, QAV_E_BAD_ALGORITHM);
}

}  // namespace qav::api
