// bench_osprey: how the viewer copes with a year of readings.
//   bench_osprey                  57 probes x 365 days of 15-minute readings
//                                 (about 2,000,000 rows): load time and peak
//                                 memory, then one probe's redraw after zooms
//   bench_osprey --write DIR [--probes N]
//                                 only writes DIR/"KVR Probe Data.csv"
//   bench_osprey --load FILE      only loads FILE (for a profiler)
//   bench_osprey --redraw FILE    only the redraw part, on FILE's second probe
// The year holds what an agronomist looks for: winter rain, summer drying
// with irrigation whenever the profile reaches its refill level, a wetting
// front that reaches the deeper sensors late and weaker, daily and seasonal
// temperature waves damped with depth, a failing battery with power
// failures, and a gap of several days.
#include <sys/resource.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <QApplication>
#include <QPixmap>

#include "apps/osprey/charts_panel.h"
#include "viewer/probe_views.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double cpuSeconds(const rusage& ru) {
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// "00.0" and "000.00" as the running file writes them (a minus sign goes
// before the padded digits).
void fixed(std::string& out, double v, int intDigits, int decimals) {
    char b[32];
    const double a = std::fabs(v);
    std::snprintf(b, sizeof b, "%s%0*.*f", v < 0 && std::round(a * 100) > 0 ? "-" : "", intDigits + decimals + 1,
                  decimals, a);
    out += b;
}

void writeYear(const fs::path& file, int probes) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) {
        std::perror(file.c_str());
        std::exit(1);
    }
    std::fputs("Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,Temp5,Water%5,"
               "Temp6,Water%6,Volts\r\n", f);
    const int64_t start = kvr::viewer::civilSeconds(2025, 1, 1, 0, 0, 0);
    constexpr int kSteps = 365 * 96;
    struct State {
        std::mt19937 rng;
        double w[6], fc[6], wp[6], volts;
        double refill, pending = 0;
        bool failing, gap;
    };
    std::vector<State> st(static_cast<std::size_t>(probes));
    for (int p = 0; p < probes; ++p) {
        State& s = st[std::size_t(p)];
        s.rng.seed(unsigned(1000 + p));
        for (int d = 0; d < 6; ++d) {
            s.fc[d] = 36 - 1.5 * d + (p % 7) * 0.8;
            s.wp[d] = 14 + 0.5 * d;
            s.w[d] = s.fc[d] - 2;
        }
        double fc = 0, wp = 0;
        for (int d = 0; d < 6; ++d) fc += s.fc[d], wp += s.wp[d];
        s.refill = wp + 0.55 * (fc - wp);
        s.volts = 3.8 - (p % 5) * 0.03;
        s.failing = p % 19 == 1;
        s.gap = p % 5 == 1;
    }
    std::string line;
    static constexpr double kRoots[6] = {0.32, 0.26, 0.18, 0.12, 0.08, 0.04};
    for (int k = 0; k < kSteps; ++k) {
        const int64_t t = start + int64_t(k) * 900;
        const auto c = kvr::viewer::civilFields(t);
        const double day = k / 96.0, hour = c.hour + c.minute / 60.0;
        const double season = std::sin(2 * kPi * (day - 110) / 365);  // +1 in late July
        const double sun = std::max(0.0, std::sin(kPi * (hour - 6) / 14));
        const bool summer = day > 110 && day < 280;
        for (int p = 0; p < probes; ++p) {
            State& s = st[std::size_t(p)];
            std::normal_distribution<double> noise(0, 1);
            std::uniform_real_distribution<double> u(0, 1);
            // Water taken by the roots in daylight, more in summer.
            const double demand = 0.0012 * (1.4 + season) * sun * (1 + 0.3 * (p % 3));
            for (int d = 0; d < 6; ++d) {
                const double avail = std::clamp((s.w[d] - s.wp[d]) / (s.fc[d] - s.wp[d]), 0.0, 1.2);
                s.w[d] -= demand * kRoots[d] * 6 * avail;
            }
            double total = 0;
            for (double w : s.w) total += w;
            // Irrigation at the refill level in summer; rain now and then in winter.
            if (summer && total < s.refill && s.pending <= 0 && hour > 5 && hour < 7) s.pending = 28 + 6 * u(s.rng);
            if (!summer && u(s.rng) < 0.0009) s.pending += 8 + 20 * u(s.rng);
            if (s.pending > 0) {
                const double in = std::min(s.pending, 1.6);
                s.pending -= in;
                s.w[0] += in;
            }
            // Water above field capacity moves down slowly: the wetting front
            // reaches the deeper sensors hours later and weaker.
            for (int d = 0; d < 6; ++d) {
                const double excess = s.w[d] - s.fc[d];
                if (excess > 0) {
                    const double move = excess * 0.12;
                    s.w[d] -= move;
                    if (d < 5) s.w[d + 1] += move * 0.92;
                }
            }
            if (s.gap && day >= 200 && day < 206) continue;  // the probe was out of reach
            // Battery: slow decline; a failing one sinks below 3.4 V from autumn on.
            s.volts -= 0.1 / kSteps;
            double v = s.volts - 0.04 * (1 - sun);
            if (s.failing && day > 240) v -= (day - 240) / 125 * 0.75 + 0.1 * (1 - sun);
            const bool powerFail = s.failing && v < 3.15 && u(s.rng) < 0.01;

            line.clear();
            char head[48];
            std::snprintf(head, sizeof head, "%05d, %04d/%02d/%02d %02d:%02d:%02d", 100 + p, c.year, c.month, c.day,
                          c.hour, c.minute, c.second);
            line += head;
            for (int d = 0; d < 6; ++d) {
                const double damp = std::exp(-0.35 * d);
                const double temp = 13 + 9 * season * std::exp(-0.12 * d) +
                                    6 * damp * std::sin(2 * kPi * (hour - 9 - 2.5 * d) / 24) * (0.6 + 0.4 * season) +
                                    0.1 * noise(s.rng);
                line += ", ";
                fixed(line, temp, 2, 1);
                line += ", ";
                fixed(line, std::max(0.0, s.w[d] + 0.08 * noise(s.rng)), 3, 2);
            }
            line += ",";
            fixed(line, powerFail ? 999 : std::max(2.2, v), 1, 1);
            line += "\r\n";
            std::fwrite(line.data(), 1, line.size(), f);
        }
    }
    std::fclose(f);
}

// One probe's year (the second: its battery fails): 14 lines redrawn after
// each zoom step, as the window does.
void redrawBench(const kvr::viewer::ProbeData& data, int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    kvr::osprey::ChartsPanel panel;
    panel.setAttribute(Qt::WA_DontShowOnScreen);
    panel.resize(1400, 900);
    panel.show();
    QApplication::processEvents();
    const auto& probe = data.probes.at(1);
    panel.setProbe(probe.probe, data.of(probe), {}); 
    QApplication::processEvents();
    panel.grab();
    std::vector<double> times, cpu;
    auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    const double lo = panel.dataFrom(), hi = panel.dataTo();
    for (int step = 0; step < 40; ++step) {
        // In towards a summer week and back out, as a wheel does.
        const int depth = step < 20 ? step : 39 - step;
        const double span = (hi - lo) * std::pow(0.8, depth), mid = lo + (hi - lo) * 0.55;
        const auto a = Clock::now();
        const double c = cpuMs();
        // As in the window: the new range, then the event loop repaints the
        // shown panel (the scene's update takes a second pass).
        panel.setRange(mid - span / 2, mid + span / 2);
        QApplication::processEvents();
        QApplication::processEvents();
        times.push_back(ms(Clock::now() - a));
        cpu.push_back(cpuMs() - c);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("redraw after zoom, probe %d (%zu readings, 14 lines, 1400x900), 40 zoom steps:\n"
                "  wall median %.1f ms, max %.1f ms; CPU (all threads) median %.1f ms, max %.1f ms "
                "(target under 50 ms)\n",
                probe.probe, probe.end - probe.begin, times[times.size() / 2], times.back(), cpu[cpu.size() / 2],
                cpu.back());
}

}  // namespace

int main(int argc, char** argv) {
    int probes = 57;
    fs::path writeTo;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--write") && i + 1 < argc) writeTo = argv[++i];
        else if (!std::strcmp(argv[i], "--probes") && i + 1 < argc) probes = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--redraw") && i + 1 < argc) {
            redrawBench(kvr::viewer::loadProbeData({argv[++i]}), argc, argv);
            return 0;
        } else if (!std::strcmp(argv[i], "--load") && i + 1 < argc) {
            const auto a = Clock::now();
            const auto data = kvr::viewer::loadProbeData({argv[++i]});
            rusage ru{};
            getrusage(RUSAGE_SELF, &ru);
            std::printf("load: %zu readings in %.2f s, CPU %.2f s, peak memory %.0f MB\n", data.readings.size(),
                        ms(Clock::now() - a) / 1000, cpuSeconds(ru), ru.ru_maxrss / 1024.0);
            return 0;
        }
    }
    if (!writeTo.empty()) {
        fs::create_directories(writeTo);
        writeYear(writeTo / "KVR Probe Data.csv", std::max(1, probes));
        return 0;
    }
    const fs::path dir = fs::temp_directory_path() / ("bench_osprey_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "KVR Probe Data.csv";
    auto t0 = Clock::now();
    writeYear(file, probes);
    std::printf("wrote %d probes x 365 days: %.0f MB in %.1f s\n", probes, fs::file_size(file) / 1e6,
                ms(Clock::now() - t0) / 1000);

    // Loading, in a child of its own so its peak memory is its own.
    const pid_t child = fork();
    if (child == 0) {
        const auto a = Clock::now();
        const auto data = kvr::viewer::loadProbeData({file});
        const double took = ms(Clock::now() - a);
        std::printf("load: %zu readings of %zu probes in %.2f s (%zu lines skipped)\n", data.readings.size(),
                    data.probes.size(), took / 1000, data.files[0].skipped);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    rusage ru{};
    wait4(child, &status, 0, &ru);
    std::printf("load: CPU %.2f s, peak memory %.0f MB (targets: under 3 s, under 300 MB)\n", cpuSeconds(ru),
                ru.ru_maxrss / 1024.0);

    // One probe's year: 14 lines redrawn after each zoom step.
    const auto data = kvr::viewer::loadProbeData({file});
    fs::remove_all(dir);
    redrawBench(data, argc, argv);
    return 0;
}
