// Cost and memory of the accessibility phase as a structure grows: one PDB file is tiled
// into a cubic lattice of copies, and the phase is timed on the whole.
//
// Build and run from the repository root:
//   cmake -S . -B build-bench -DTARNIX_BUILD_PYTHON=OFF -DTARNIX_BUILD_BENCH=ON
//   cmake --build build-bench -j 2 --target tarnix_sasa_scaling
//   for n in 1 2 4 8 17; do build-bench/tarnix_sasa_scaling ../shared/data/structures/1aon.pdb $n 3; done
//
// Arguments: file, number of copies, repeats, and optionally a number of threads. Prints atoms,
// the best time over the repeats, microseconds per atom (wall clock and process CPU time), and
// how far the phase raised the process's peak resident memory above what the input structures
// already held. Run one size per process. With a thread count the phase is spread over that
// many std::threads through the parallel entry, and the results are checked bit for bit
// against a single-threaded run. On a machine whose cores are busy with other work the wall
// time cannot show the spread, so the run also prints its critical path in CPU time: the
// calling thread's own time plus, for each parallel step, the time of its busiest worker.
//   build-bench/sasa_scaling ../shared/data/structures/1aon.pdb 17 3 1
//   build-bench/sasa_scaling ../shared/data/structures/1aon.pdb 17 3 2
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <variant>
#include <vector>

#include "core/sasa.hpp"
#include "io/structure_file.hpp"

using tarnix::core::Atom;
using tarnix::core::Point3;
using tarnix::core::Residue;

namespace {

void shift(Point3& p, float dx, float dy, float dz) {
    p.x += dx;
    p.y += dy;
    p.z += dz;
}

// Copies laid out on a cubic lattice with a 10 A gap between neighbouring copies.
std::vector<Residue> tile(const std::vector<Residue>& base, int copies) {
    float lo = INFINITY, hi = -INFINITY;
    for (const Residue& r : base) {
        for (const Point3& p : {r.n, r.ca, r.c, r.o}) {
            lo = std::min({lo, p.x, p.y, p.z});
            hi = std::max({hi, p.x, p.y, p.z});
        }
    }
    const float step = hi - lo + 20.0f;
    const int side = static_cast<int>(std::ceil(std::cbrt(static_cast<double>(copies))));
    std::vector<Residue> out;
    out.reserve(base.size() * static_cast<std::size_t>(copies));
    for (int k = 0; k < copies; ++k) {
        const float dx = step * static_cast<float>(k % side);
        const float dy = step * static_cast<float>(k / side % side);
        const float dz = step * static_cast<float>(k / (side * side));
        for (Residue r : base) {
            for (Point3* p : {&r.n, &r.ca, &r.c, &r.o}) shift(*p, dx, dy, dz);
            for (Atom& a : r.atoms) shift(a.position, dx, dy, dz);
            out.push_back(std::move(r));
        }
    }
    return out;
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Runs the tasks on `threads` threads that take the next index from a shared counter, and adds
// the CPU time of the busiest one to *busiest: with free cores, the call lasts about that long.
tarnix::core::ParallelFor thread_runner(int threads, double* busiest) {
    return [threads, busiest](std::size_t count, const std::function<void(std::size_t)>& task) {
        std::atomic<std::size_t> next{0};
        std::vector<double> cpu(static_cast<std::size_t>(threads), 0.0);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                const double start = thread_cpu_seconds();
                for (std::size_t i = next++; i < count; i = next++) task(i);
                cpu[static_cast<std::size_t>(t)] = thread_cpu_seconds() - start;
            });
        }
        for (std::thread& thread : pool) thread.join();
        *busiest += *std::max_element(cpu.begin(), cpu.end());
    };
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Compares with a run on the calling thread, bit for bit.
bool same_accessibility(const std::vector<Residue>& threaded, std::vector<Residue> alone) {
    tarnix::core::compute_accessibility(alone, 100);
    for (std::size_t k = 0; k < alone.size(); ++k) {
        if (std::memcmp(&alone[k].accessibility, &threaded[k].accessibility, sizeof(float)) != 0) return false;
    }
    return true;
}

double peak_rss_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE COPIES REPEATS [THREADS]\n", argv[0]);
        return 2;
    }
    auto read = tarnix::io::read_structure_file(argv[1]);
    if (const auto* failure = std::get_if<tarnix::io::ReadFailure>(&read)) {
        std::fprintf(stderr, "%s\n", failure->message.c_str());
        return 1;
    }
    const auto& base = std::get<tarnix::core::Structure>(read).residues;
    const std::vector<Residue> structure = tile(base, std::atoi(argv[2]));
    std::size_t atoms = 0;
    for (const Residue& r : structure) atoms += 4 + r.atoms.size();
    double best = INFINITY;
    double best_cpu = INFINITY;
    bool identical = true;
    double best_critical = INFINITY;
    double input_peak = 0.0;
    for (int k = 0; k < std::atoi(argv[3]); ++k) {
        std::vector<Residue> work = structure;
        if (k == 0) input_peak = peak_rss_mb();
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_seconds();
        if (argc == 5) {
            double busiest = 0.0;
            const double main_start = thread_cpu_seconds();
            tarnix::core::compute_accessibility(work, 100, tarnix::core::default_sasa_kernel(),
                                                thread_runner(std::atoi(argv[4]), &busiest));
            best_critical = std::min(best_critical, thread_cpu_seconds() - main_start + busiest);
        } else {
            tarnix::core::compute_accessibility(work, 100);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        best_cpu = std::min(best_cpu, cpu_seconds() - cpu_start);
        if (argc == 5 && k == 0) identical = same_accessibility(work, structure);
    }
    const double phase_mb = peak_rss_mb() - input_peak;
    std::printf(
        "atoms %9zu  best %9.1f ms  %6.3f us/atom  cpu %6.3f us/atom  phase memory %7.1f MB (%5.1f bytes/atom)\n",
        atoms, best * 1e3, best * 1e6 / static_cast<double>(atoms), best_cpu * 1e6 / static_cast<double>(atoms),
        phase_mb, phase_mb * 1024.0 * 1024.0 / static_cast<double>(atoms));
    if (argc == 5) {
        std::printf(
            "threads %s: critical path %.1f ms of CPU (calling thread plus the busiest worker of each "
            "parallel step); results %s a single-threaded run\n",
            argv[4], best_critical * 1e3, identical ? "identical to" : "DIFFER from");
    }
    return identical ? 0 : 1;
}
