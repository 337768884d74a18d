// Start-up of the panel beside the floor program, measured from outside as the X server sees it:
// each program is started afresh, timed from the moment it is spawned until the server maps its
// window, and until the first frame is drawn into that window (the first damage covering half of
// it, through the DAMAGE extension). Its peak memory (VmHWM) is read a second after that frame,
// once any work left for after the first paint has run. The two programs take turns, so a change
// of load during the run weighs on both alike. Needs an X server with DAMAGE (Xvfb has it) and
// no window manager, so that the windows map as soon as the programs ask.
//
// rmq27-bench-startup [--runs N] PANEL FLOOR
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "rmq27-bench-startup: %s\n", why.c_str());
    std::exit(1);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

long peakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

struct Run {
    double mapMs = 0;
    double frameMs = 0;
    double rssMb = 0;
};

class Watcher {
public:
    Watcher() {
        conn_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(conn_)) {
            die("no X server (run under xvfb-run)");
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
        const xcb_query_extension_reply_t* damage = xcb_get_extension_data(conn_, &xcb_damage_id);
        if (!damage || !damage->present) {
            die("the X server has no DAMAGE extension");
        }
        damageEvent_ = damage->first_event + XCB_DAMAGE_NOTIFY;
        free(xcb_damage_query_version_reply(conn_, xcb_damage_query_version(conn_, 1, 1), nullptr));
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(conn_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(conn_);
    }
    ~Watcher() { xcb_disconnect(conn_); }

    Run measure(const std::vector<std::string>& command) {
        drain();
        std::vector<char*> argv;
        for (const std::string& a : command) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const Clock::time_point started = Clock::now();
        if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) {
            die("cannot start " + command[0]);
        }
        posix_spawn_file_actions_destroy(&files);

        Run run;
        std::map<xcb_window_t, bool> created; // the program's top-level windows: mapped yet?
        std::optional<xcb_window_t> mapped;
        const Clock::time_point deadline = started + std::chrono::seconds(20);
        while (run.frameMs == 0) {
            xcb_generic_event_t* event = next(deadline);
            if (!event) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                die(command[0] + " showed no frame within 20 s");
            }
            const Clock::time_point now = Clock::now();
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_CREATE_NOTIFY) {
                const auto* e = reinterpret_cast<xcb_create_notify_event_t*>(event);
                if (e->parent == root_ && !e->override_redirect) {
                    // Watched from its creation, before it can map and draw.
                    xcb_damage_create(conn_, xcb_generate_id(conn_), e->window,
                                      XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
                    xcb_flush(conn_);
                    created[e->window] = false;
                }
            } else if (type == XCB_MAP_NOTIFY) {
                const auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event);
                if (created.count(e->window) && !mapped) {
                    mapped = e->window;
                    run.mapMs = ms(now - started);
                }
            } else if (type == damageEvent_) {
                const auto* e = reinterpret_cast<xcb_damage_notify_event_t*>(event);
                const double whole = double(e->geometry.width) * e->geometry.height;
                damaged_[e->drawable] += double(e->area.width) * e->area.height;
                if (mapped && e->drawable == *mapped && damaged_[e->drawable] >= whole / 2) {
                    run.frameMs = ms(now - started);
                }
            }
            free(event);
        }
        // Whatever the program left for after its first frame has run by now.
        ::usleep(1000 * 1000);
        run.rssMb = double(peakRssKb(pid)) / 1024.0;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        damaged_.clear();
        return run;
    }

private:
    xcb_generic_event_t* next(Clock::time_point deadline) {
        for (;;) {
            if (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) {
                return event;
            }
            if (xcb_connection_has_error(conn_)) {
                die("lost the X server");
            }
            const double left = ms(deadline - Clock::now());
            if (left <= 0) {
                return nullptr;
            }
            pollfd fd{xcb_get_file_descriptor(conn_), POLLIN, 0};
            ::poll(&fd, 1, int(left) + 1);
        }
    }

    void drain() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) {
            free(event);
        }
    }

    xcb_connection_t* conn_;
    xcb_window_t root_;
    uint8_t damageEvent_;
    std::map<xcb_drawable_t, double> damaged_;
};

void metric(const char* name, double value, const char* unit) {
    std::printf("%-40s %10.2f  %s\n", name, value, unit);
}

} // namespace

int main(int argc, char** argv) {
    int runs = 10;
    int at = 1;
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        runs = std::atoi(argv[2]);
        at = 3;
    }
    if (argc - at != 2 || runs < 1) {
        std::fprintf(stderr, "usage: rmq27-bench-startup [--runs N] PANEL FLOOR\n");
        return 2;
    }
    // The panel's COM1 is a pseudo-terminal held here; its COM2 is never opened at start-up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        die("no pseudo-terminal");
    }
    const std::string slave = ptsname(master);
    // Nothing remembered from an earlier run decides the devices.
    char config[] = "/tmp/rmq27-bench-startup-XXXXXX";
    if (!mkdtemp(config)) {
        die("no temporary directory");
    }
    setenv("XDG_CONFIG_HOME", config, 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    const std::vector<std::string> panel{argv[at], "--com1", slave, "--com2",
                                         "/dev/rmq27-bench-no-com2"};
    const std::vector<std::string> floor{argv[at + 1]};
    std::ifstream load("/proc/loadavg");
    std::string loadAvg;
    std::getline(load, loadAvg);
    std::printf("# start-up under X, %d runs each, taking turns; load average at start %s\n", runs,
                loadAvg.c_str());

    Watcher watcher;
    // One unmeasured start of each, so both find the same warm caches.
    watcher.measure(panel);
    watcher.measure(floor);
    std::vector<double> panelMap, panelFrame, panelRss, floorMap, floorFrame, floorRss;
    for (int i = 0; i < runs; ++i) {
        // Alternating who goes first cancels a drift of the load within a pair.
        for (int turn = 0; turn < 2; ++turn) {
            const bool isPanel = (turn == 0) == (i % 2 == 0);
            const Run r = watcher.measure(isPanel ? panel : floor);
            (isPanel ? panelMap : floorMap).push_back(r.mapMs);
            (isPanel ? panelFrame : floorFrame).push_back(r.frameMs);
            (isPanel ? panelRss : floorRss).push_back(r.rssMb);
        }
    }
    std::ifstream loadAfter("/proc/loadavg");
    std::getline(loadAfter, loadAvg);
    std::printf("# load average at end %s\n", loadAvg.c_str());
    metric("startup_x_map_panel_p50", median(panelMap), "ms");
    metric("startup_x_map_floor_p50", median(floorMap), "ms");
    metric("startup_x_map_ratio", median(panelMap) / median(floorMap), "x");
    metric("startup_x_first_frame_panel_p50", median(panelFrame), "ms");
    metric("startup_x_first_frame_floor_p50", median(floorFrame), "ms");
    metric("startup_x_first_frame_ratio", median(panelFrame) / median(floorFrame), "x");
    metric("peak_rss_x_panel_p50", median(panelRss), "MB");
    metric("peak_rss_x_floor_p50", median(floorRss), "MB");
    metric("peak_rss_x_ratio", median(panelRss) / median(floorRss), "x");
    std::filesystem::remove_all(config);
    return 0;
}
