// A full-screen animation for the streaming benchmark: every frame changes the whole picture and
// carries its number and the wall-clock time (milliseconds, low 32 bits) as two rows of 32
// black-or-white blocks in the top-left corner, so a receiver can read them back from decoded
// pictures. Runs at the given rate until killed.
//
// With "pointer", the picture is drawn once and stays still while the pointer goes round a circle
// in the middle of the screen at the given rate, moved through XTest as a real device would be.
//
//   bench_animate WIDTH HEIGHT FPS [pointer]
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace {

constexpr int kBlock = 24;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

uint32_t wallMillis()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

} // namespace

int main(int argc, char** argv)
{
    const bool pointer = argc == 5 && std::strcmp(argv[4], "pointer") == 0;
    if (argc != 4 && !pointer) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT FPS [pointer]\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[1]), height = std::atoi(argv[2]), fps = std::atoi(argv[3]);
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(nullptr, &screenNumber));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {screen->black_pixel, 1}; // back pixel, override-redirect
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, uint16_t(width), uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    // A round trip: the window is mapped before "ready" is printed.
    std::unique_ptr<xcb_get_input_focus_reply_t, FreeDeleter>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    std::printf("ready\n");
    std::fflush(stdout);

    auto fill = [&](uint32_t rgb, int x, int y, int w, int h) {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(w), uint16_t(h)};
        xcb_poly_fill_rectangle(c, window, gc, 1, &r);
    };

    const auto period = std::chrono::nanoseconds(1000000000LL / fps);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t frame = 0;; ++frame) {
        if (pointer && frame > 0) {
            // One turn every two seconds, 300 pixels from the middle.
            const double angle = 2 * M_PI * double(frame) / double(2 * fps);
            xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen->root,
                                int16_t(width / 2 + std::lround(300 * std::cos(angle))),
                                int16_t(height / 2 + std::lround(300 * std::sin(angle))), 0);
            xcb_flush(c);
            if (xcb_connection_has_error(c))
                return 0;
            next += period;
            std::this_thread::sleep_until(next);
            continue;
        }
        // A background that changes everywhere, and a bar that moves.
        const uint32_t shade = (frame * 3) % 200 + 30;
        fill((shade << 16) | ((255 - shade) << 8) | (frame % 2 ? 96u : 64u), 0, 0, width, height);
        fill(0xffffff, int(frame * 8 % uint32_t(width)), kBlock * 3, 40, height - kBlock * 3);
        const uint32_t stamp = wallMillis();
        for (int bit = 0; bit < 32; ++bit) {
            fill((frame >> bit) & 1 ? 0xffffff : 0x000000, bit * kBlock, 0, kBlock, kBlock);
            fill((stamp >> bit) & 1 ? 0xffffff : 0x000000, bit * kBlock, kBlock, kBlock, kBlock);
        }
        xcb_flush(c);
        if (xcb_connection_has_error(c))
            return 0;
        next += period;
        std::this_thread::sleep_until(next);
    }
}
