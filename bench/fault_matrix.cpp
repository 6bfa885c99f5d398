// The fault matrix: runs every case of BuildMatrix (FaultMatrix.h), each in a child process
// with a wall-clock bound, and prints per fault class how many runs completed byte-exact,
// how many ended with the right error, and how many ended wrongly. Exits 1 when any did.
//
//   bench_fault_matrix [--quick] [--seed N] [--filter TEXT] [--jobs N] [--list] [--verbose]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FaultMatrix.h"

namespace {

struct Row {
    int runs = 0, exact = 0, error = 0, wrong = 0;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_fault_matrix [--quick] [--seed N] [--filter TEXT] [--jobs N] "
                 "[--list] [--verbose]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    bool list = false;
    bool verbose = false;
    std::uint64_t seed = 2026;
    std::string filter;
    int jobs = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--seed" && hasValue) {
            seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "--filter" && hasValue) {
            filter = argv[++i];
        } else if (arg == "--jobs" && hasValue) {
            jobs = std::max(1, std::atoi(argv[++i]));
        } else {
            return Usage();
        }
    }

    const auto begin = std::chrono::steady_clock::now();
    std::vector<kz::fm::Case> cases;
    for (kz::fm::Case& c : kz::fm::BuildMatrix(quick, seed)) {
        if (filter.empty() || c.label.find(filter) != std::string::npos) {
            cases.push_back(std::move(c));
        }
    }
    if (list) {
        for (const kz::fm::Case& c : cases) {
            std::printf("%s\n", c.label.c_str());
        }
        return 0;
    }

    std::vector<kz::fm::Verdict> verdicts(cases.size());
    std::atomic<std::size_t> next{0};
    std::mutex printMutex;
    auto worker = [&] {
        for (std::size_t i = next++; i < cases.size(); i = next++) {
            const auto from = std::chrono::steady_clock::now();
            const kz::fm::Observed seen = kz::fm::RunCase(cases[i]);
            verdicts[i] = kz::fm::Classify(seen);
            if (verbose) {
                std::lock_guard lock(printMutex);
                std::fprintf(
                    stderr, "%-70s error %d %.2f s\n", cases[i].label.c_str(), seen.error,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count());
            }
            if (verdicts[i].outcome == kz::fm::Outcome::Wrong) {
                std::lock_guard lock(printMutex);
                std::fprintf(stderr, "WRONG %s: %s\n", cases[i].label.c_str(),
                             verdicts[i].reason.c_str());
            }
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j) {
        threads.emplace_back(worker);
    }
    worker();
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    std::vector<std::string> order;
    std::map<std::string, Row> rows;
    Row total;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!rows.count(cases[i].fault)) {
            order.push_back(cases[i].fault);
        }
        Row& row = rows[cases[i].fault];
        for (Row* r : {&row, &total}) {
            ++r->runs;
            switch (verdicts[i].outcome) {
                case kz::fm::Outcome::Exact:
                    ++r->exact;
                    break;
                case kz::fm::Outcome::RightError:
                    ++r->error;
                    break;
                case kz::fm::Outcome::Wrong:
                    ++r->wrong;
                    break;
            }
        }
    }
    std::printf("%-42s %5s %9s %11s %6s\n", "fault", "runs", "completed", "right error", "wrong");
    auto print = [](const std::string& name, const Row& r) {
        std::printf("%-42s %5d %9d %11d %6d\n", name.c_str(), r.runs, r.exact, r.error, r.wrong);
    };
    for (const std::string& fault : order) {
        print(fault, rows[fault]);
    }
    print("total", total);
    std::printf("seed %llu, %d jobs, %.1f s\n", static_cast<unsigned long long>(seed), jobs,
                seconds);
    return total.wrong == 0 ? 0 : 1;
}
