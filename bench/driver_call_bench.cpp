// The driver's two whole raw-frame calls, colour with the white balance and grey, as the camera class
// library makes them, on each kernel path, against memcpy of the 14,745,600 output bytes in the same
// run. The driver is the one a host session installs: linked in, or z40k.sys through the PE loader
// (--driver, 32-bit build), so the same program measures the native build and the shipped binary the
// same way. Each path is pinned by what the host acts as, as the driver finds it when it loads: Windows
// XP for the SSE paths (a processor without SSSE3 for SSE2: a loaded image sees that only where the host
// traps its cpuid), 7 for AVX2, 10 for AVX-512, and every floating-point save failing for the scalar
// kernels (which also leaves the white balance's few divisions out of the colour call). The call is
// timed in CPU time of this thread, the median over repetitions, as z40k-bench times its stages. Prints
// a table, then "ratio NAME R" lines and "ms NAME T" lines.
#include "host/cameralib/library_device.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/capture_pin.h"
#include "host/rig/session.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "tests/imaging/path_levers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t OUTPUT_BYTES = 2560 * 1920 * 3;

struct Options {
    std::string Driver;
    host::WindowsTarget Target = host::WindowsTarget::Ten;
    int Repetitions = 5;
    double SecondsPerRepetition = 0.3;
};

double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The median over the repetitions of the mean CPU milliseconds of Call, each repetition running it until
// it has taken SecondsPerRepetition (at least three times).
template <typename F> double MedianMs(const Options& O, F Call) {
    Call(); // the first call faults the buffers in
    std::vector<double> means;
    for (int r = 0; r < O.Repetitions; ++r) {
        int n = 0;
        const double start = CpuSeconds();
        double now = start;
        while (n < 3 || now - start < O.SecondsPerRepetition) {
            Call();
            ++n;
            now = CpuSeconds();
        }
        means.push_back((now - start) * 1e3 / n);
    }
    std::sort(means.begin(), means.end());
    return means[means.size() / 2];
}

// A session with one camera whose driver runs the given path, colour with white balance or grey, its
// capture pin running on the virtual clock (so that the driver has the capture window), and the camera
// held still: nothing waits on the clock, so no frame is sent while the calls are timed.
struct CallRig {
    rig::Session Session;
    rig::CapturePin Pin;
    cameralib::LibraryDevice* Device = nullptr;
};

bool Open(const Options& O, ImagingPath Path, bool Colour, CallRig* R, std::string* Error) {
    const path_levers::Levers levers = path_levers::LeversOf(Path);
    rig::SessionOptions options;
    options.VirtualClock = true;
    options.DriveC = "/tmp/z40k-call-bench-c";
    options.DriverImage = O.Driver;
    options.Target = levers.Target;
    if (!R->Session.Open(options, Error))
        return false;
    if (Path != IMAGING_PATH_SCALAR)
        host::SetProcessorLevel(levers.Level);
    const std::string settings = host::DriverKeyPath() + "\\Z40K_Settings";
    host::RegistrySetDword(settings, "Color Enable", Colour);
    host::RegistrySetDword(settings, "Auto White Balance", Colour);
    size_t camera = 0;
    if (!NT_SUCCESS(R->Session.Plug(rig::CameraOptions(), &camera)) ||
        rig::OpenCapturePin(R->Session.FilterOf(camera), &R->Pin).Failure != rig::PinFailure::None ||
        !NT_SUCCESS(R->Pin.Pin->SetState(KSSTATE_RUN))) {
        *Error = "the camera did not come up to a running pin";
        return false;
    }
    if (Path == IMAGING_PATH_SCALAR)
        host::InjectFault("KeSaveFloatingPointState", {1, 0, STATUS_UNSUCCESSFUL});
    R->Device = cameralib::DeviceFromContext(R->Session.FilterOf(camera).DeviceExtension());
    return R->Device != nullptr && R->Device->DeviceData2 != nullptr;
}

// Whether the saves of the state a call made are those of Path: none for the scalar kernels, the
// floating-point state's for the SSE paths, the extended state's, with its AVX-512 part or without, for
// the AVX ones. (SSE2 and SSSE3 save alike.)
bool SavesMatch(ImagingPath Path, const host::ProcessorStateCounts& Before,
                const host::ProcessorStateCounts& After) {
    const unsigned floating = After.FloatSaves - Before.FloatSaves;
    const unsigned extended = After.ExtendedSaves - Before.ExtendedSaves;
    if (Path == IMAGING_PATH_SCALAR)
        return floating == 0 && extended == 0;
    if (Path <= IMAGING_PATH_SSSE3)
        return floating > 0 && extended == 0;
    const ULONG64 mask = Path == IMAGING_PATH_AVX512 ? XSTATE_MASK_AVX | XSTATE_MASK_AVX512 : XSTATE_MASK_AVX;
    return extended > 0 && After.LastExtendedMask == mask;
}

double TimeCall(const Options& O, ImagingPath Path, bool Colour, const std::vector<uint8_t>& Raw,
                std::vector<uint8_t>* Frame, std::string* Error) {
    CallRig r;
    if (!Open(O, Path, Colour, &r, Error))
        return -1;
    std::vector<uint8_t> raw = Raw;
    ULONG bytes = 0;
    const host::ProcessorStateCounts before = host::ProcessorState();
    const double ms = MedianMs(O, [&] {
        r.Device->DeviceData2->CamProcessRawVideoFrameEx(
            r.Device->BusDeviceObject, r.Device->DeviceContext, nullptr, Frame->data(), ULONG(Frame->size()),
            raw.data(), ULONG(raw.size()), 0, &bytes, ULONG(raw.size()), 0);
    });
    const bool pinned = SavesMatch(Path, before, host::ProcessorState());
    host::ClearAllFaults();
    r.Pin.Pin->SetState(KSSTATE_STOP);
    if (bytes == 0) {
        *Error = "the driver converted nothing";
        return -1;
    }
    if (!pinned) {
        *Error = "the driver did not take the path pinned";
        return -1;
    }
    return ms;
}

const struct {
    ImagingPath Path;
    const char* Name;
} PATHS[] = {{IMAGING_PATH_SCALAR, "scalar"},
             {IMAGING_PATH_SSE2, "sse2"},
             {IMAGING_PATH_SSSE3, "ssse3"},
             {IMAGING_PATH_AVX2, "avx2"},
             {IMAGING_PATH_AVX512, "avx512"}};

bool ParseOptions(int argc, char** argv, Options* O) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        if (arg == "--driver" && value)
            O->Driver = argv[++i];
        else if (arg == "--windows" && value && host::ParseWindowsTarget(argv[i + 1], &O->Target))
            ++i;
        else if (arg == "--repetitions" && value && (O->Repetitions = std::atoi(argv[++i])) > 0)
            continue;
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--driver FILE.sys] [--windows xp|vista|7|10] [--repetitions N]\n",
                     argv[0]);
        return 2;
    }
    std::vector<uint8_t> raw(RAW_FRAME_BYTES), frame(OUTPUT_BYTES), source(OUTPUT_BYTES, 1);
    std::mt19937 random(42);
    for (auto& byte : raw)
        byte = uint8_t(random());
    const double memcpyMs = MedianMs(options, [&] {
        std::memcpy(frame.data(), source.data(), OUTPUT_BYTES);
        __asm__ volatile("" : : "r"(frame.data()) : "memory");
    });
    host::SetWindowsTarget(options.Target); // what the driver will find: paths above are not measured
    FindExtendedStateRoutines();
    const ImagingPath best = SupportedImagingPath();
    std::printf("%s, %s: memcpy of the output %.3f ms\n",
                options.Driver.empty() ? "linked driver" : options.Driver.c_str(),
                sizeof(void*) == 4 ? "32-bit host" : "64-bit host", memcpyMs);
    std::printf("%-8s %16s %10s %12s %10s\n", "path", "colour+awb ms", "x memcpy", "grey ms", "x memcpy");
    for (const auto& p : PATHS) {
        if (p.Path > best)
            continue;
        if (!options.Driver.empty() && !path_levers::ImageSeesLevers(p.Path) &&
            p.Path != IMAGING_PATH_SCALAR) {
            std::printf("%-8s not measured: this host cannot trap the image's cpuid\n", p.Name);
            continue;
        }
        std::string error;
        const double colour = TimeCall(options, p.Path, true, raw, &frame, &error);
        const double grey = colour < 0 ? -1 : TimeCall(options, p.Path, false, raw, &frame, &error);
        if (grey < 0) {
            std::fprintf(stderr, "%s: %s\n", p.Name, error.c_str());
            return 1;
        }
        std::printf("%-8s %16.3f %10.2f %12.3f %10.2f\n", p.Name, colour, colour / memcpyMs, grey,
                    grey / memcpyMs);
        std::printf("ms colour_awb_call_%s %.4f\nms grey_call_%s %.4f\n", p.Name, colour, p.Name, grey);
        std::printf("ratio colour_awb_call_%s %.3f\nratio grey_call_%s %.3f\n", p.Name, colour / memcpyMs,
                    p.Name, grey / memcpyMs);
    }
    std::printf("ms memcpy_output %.4f\n", memcpyMs);
    return 0;
}
