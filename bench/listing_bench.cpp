// QAV_GetDeviceList over registered keys against one raw SCardListReaders
// and one SCardGetStatusChange for every reader, and the connects it makes.
#include <winscard.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "service_calls.h"

namespace bench {
namespace {

// Whether every key's reader is listed with a card in it: the list, then the
// readers' states in one query, or (oneByOne, as the library asks) a query
// per reader.
bool ListRaw(SCARDCONTEXT context, const std::vector<std::string>& wanted, bool oneByOne) {
    char* names = nullptr;
    DWORD size = SCARD_AUTOALLOCATE;
    if (SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&names), &size) !=
        SCARD_S_SUCCESS) {
        return false;
    }
    SCARD_READERSTATE states[16] = {};
    DWORD count = 0;
    for (const char* name = names; *name != '\0' && count < 16; name += std::strlen(name) + 1) {
        states[count].szReader = name;
        states[count].dwCurrentState = SCARD_STATE_UNAWARE;
        ++count;
    }
    size_t found = 0;
    bool answered = true;
    if (oneByOne) {
        for (DWORD i = 0; i < count; ++i) {
            answered =
                answered && SCardGetStatusChange(context, 0, &states[i], 1) == SCARD_S_SUCCESS;
        }
    } else {
        answered = SCardGetStatusChange(context, 0, states, count) == SCARD_S_SUCCESS;
    }
    if (answered) {
        for (DWORD i = 0; i < count; ++i) {
            if ((states[i].dwEventState & SCARD_STATE_PRESENT) == 0) continue;
            for (const std::string& reader : wanted) found += reader == states[i].szReader;
        }
    }
    SCardFreeMemory(context, names);
    return found == wanted.size();
}

bool ListWithLibrary(const std::vector<std::string>& wanted) {
    char** names = nullptr;
    uint32_t count = 0;
    if (QAV_GetDeviceList(&names, &count, 0) != QAV_OK) return false;
    size_t found = 0;
    for (uint32_t i = 0; i < count; ++i) {
        for (const std::string& reader : wanted) found += reader == names[i];
    }
    return found == wanted.size();
}

}  // namespace

Lines RegisterListing(const Setup& setup) {
    auto wanted = std::make_shared<std::vector<std::string>>();
    for (const Key& key : setup.keys) wanted->push_back(key.reader);
    const std::string name = "Listing/keys:" + std::to_string(wanted->size());
    // Main's first listing registered the keys; this one is a steady one.
    const ServiceCalls before = CountedCalls();
    const bool listed = ListWithLibrary(*wanted);
    const ServiceCalls calls = CountedCalls() - before;
    if (!listed) return {};
    const SCARDCONTEXT context = setup.context->Handle();
    auto start = std::make_shared<ServiceCalls>();
    RegisterComparison(
        name,
        [wanted, start] {
            // Counted from the first timed call of each repetition (main's
            // listing made listings non-zero); the raw side never connects.
            if (start->listings == 0) *start = CountedCalls();
            return ListWithLibrary(*wanted);
        },
        {{"min", [context, wanted] { return ListRaw(context, *wanted, false); }},
         {"same",
          [context, wanted, calls] {
              // The service calls the steady listing above made:
              // one query for all readers per listing, or one per reader.
              const bool oneByOne = calls.statusQueries > calls.listings;
              bool all = true;
              for (uint64_t i = 0; i < calls.listings; ++i) {
                  all = ListRaw(context, *wanted, oneByOne) && all;
              }
              return all;
          }}},
        [calls, start](benchmark::State& state) {
            const ServiceCalls during = CountedCalls() - *start;
            state.counters["connects"] = static_cast<double>(during.connects);
            state.counters["listings"] = static_cast<double>(state.iterations());
            state.counters["service_listings_per_call"] = static_cast<double>(calls.listings);
            state.counters["status_queries_per_call"] = static_cast<double>(calls.statusQueries);
            *start = ServiceCalls{};  // the next repetition counts afresh
        });
    const std::string keys = std::to_string(wanted->size());
    return {{name,
             "ratio_min",
             "QAV_GetDeviceList, " + keys + " keys / raw SCardListReaders + SCardGetStatusChange",
             {Goal::kAtMost, 1.05},
             {"qav_us", "raw_min_us", "service_listings_per_call", "status_queries_per_call"}},
            {name,
             "ratio_same",
             "QAV_GetDeviceList, " + keys + " keys / the same service calls raw",
             {},
             {"raw_same_us"}},
            {name,
             "connects",
             "QAV_GetDeviceList, " + keys + " registered keys: connects",
             {Goal::kAtMost, 0},
             {"listings"}}};
}

}  // namespace bench
