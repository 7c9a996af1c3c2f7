// quillet._quillet: the engine's C API as a Python object over numpy planes.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "quillet/quillet.h"

namespace py = pybind11;

namespace quillet::python {
namespace {

struct LayoutName {
  const char* name;
  QuilletLayout layout;
  int depth;  // the depth the layout fixes, 0 when the caller gives it
};
constexpr std::array<LayoutName, 12> kLayouts{{{"444", QUILLET_LAYOUT_444, 0},
                                               {"422", QUILLET_LAYOUT_422, 0},
                                               {"420", QUILLET_LAYOUT_420, 0},
                                               {"411", QUILLET_LAYOUT_411, 0},
                                               {"mono", QUILLET_LAYOUT_MONO, 0},
                                               {"nv12", QUILLET_LAYOUT_NV12, 8},
                                               {"nv21", QUILLET_LAYOUT_NV21, 8},
                                               {"p010", QUILLET_LAYOUT_P010, 10},
                                               {"p016", QUILLET_LAYOUT_P016, 16},
                                               {"yuy2", QUILLET_LAYOUT_YUY2, 8},
                                               {"uyvy", QUILLET_LAYOUT_UYVY, 8},
                                               {"yvyu", QUILLET_LAYOUT_YVYU, 8}}};

struct CpuName {
  const char* name;
  QuilletCpu cpu;
};
constexpr std::array<CpuName, 7> kCpus{{{"auto", QUILLET_CPU_AUTO},
                                        {"scalar", QUILLET_CPU_SCALAR},
                                        {"mmx", QUILLET_CPU_MMX},
                                        {"sse", QUILLET_CPU_SSE},
                                        {"sse2", QUILLET_CPU_SSE2},
                                        {"avx2", QUILLET_CPU_AVX2},
                                        {"avx512", QUILLET_CPU_AVX512}}};

struct DeintName {
  const char* name;
  QuilletDeint deint;
};
constexpr std::array<DeintName, 3> kDeints{{{"all", QUILLET_DEINT_ALL},
                                            {"interlaced", QUILLET_DEINT_INTERLACED},
                                            {"combed", QUILLET_DEINT_COMBED}}};

const LayoutName& layoutOf(const std::string& name) {
  for (const LayoutName& l : kLayouts) {
    if (name == l.name) return l;
  }
  throw py::value_error("layout '" + name +
                        "' is not one of 444, 422, 420, 411, mono, nv12, nv21, p010, p016, yuy2, "
                        "uyvy, yvyu");
}

bool packed(QuilletLayout layout) {
  return layout == QUILLET_LAYOUT_YUY2 || layout == QUILLET_LAYOUT_UYVY ||
         layout == QUILLET_LAYOUT_YVYU;
}

QuilletCpu cpuOf(const std::string& name) {
  for (const CpuName& c : kCpus) {
    if (name == c.name) return c.cpu;
  }
  throw py::value_error("cpu '" + name + "' is not one of auto, scalar, mmx, sse, sse2, avx2");
}

int32_t deintOf(const std::string& name) {
  for (const DeintName& d : kDeints) {
    if (name == d.name) return d.deint;
  }
  throw py::value_error("deint '" + name + "' is not one of all, interlaced, combed");
}

// The C API clamps settings as the plug-in's sliders do; here, as on the command line, a value
// out of range is an error.
int32_t inRange(const char* name, int value, int lo, int hi) {
  if (value < lo || value > hi) {
    throw py::value_error(std::string(name) + " " + std::to_string(value) + " is outside " +
                          std::to_string(lo) + ".." + std::to_string(hi));
  }
  return value;
}

[[noreturn]] void raiseFor(QuilletStatus status, const char* message) {
  std::string what = message != nullptr && *message != 0 ? message : quillet_status_string(status);
  if (status == QUILLET_ERROR_ARGUMENT) throw py::value_error(what);
  if (status == QUILLET_ERROR_MEMORY) throw std::bad_alloc();
  throw std::runtime_error(what);
}

std::string shapeText(py::ssize_t rows, py::ssize_t columns) {
  return "(" + std::to_string(rows) + ", " + std::to_string(columns) + ")";
}

class Filter {
 public:
  Filter(int width, int height, const std::string& layout, int depth, int tap, int top, int bottom,
         int motion, int motion2, bool showMotion, bool nextFrame, bool useMax,
         const std::string& deint, int combSensitivity, int threads, const std::string& cpu) {
    quillet_default_config(&config_);
    config_.width = width;
    config_.height = height;
    const LayoutName& named = layoutOf(layout);
    config_.layout = named.layout;
    config_.bit_depth = named.depth != 0 ? named.depth : inRange("depth", depth, 8, 16);
    QuilletSettings& s = config_.settings;
    s.tap = inRange("tap", tap, 0, 6);
    s.top = inRange("top", top, 0, 256);
    s.bottom = inRange("bottom", bottom, 0, 256);
    s.motion = inRange("motion", motion, 0, 256);
    s.motion2 = inRange("motion2", motion2, 0, 256);
    s.show_motion = showMotion ? 1 : 0;
    s.next_frame = nextFrame ? 1 : 0;
    s.use_max = useMax ? 1 : 0;
    s.deint = deintOf(deint);
    s.comb_sensitivity = inRange("comb_sensitivity", combSensitivity, 1, 100);
    config_.threads = inRange("threads", threads, 0, 256);
    config_.cpu = cpuOf(cpu);
    QuilletEngine* engine = nullptr;
    const QuilletStatus status = quillet_create(&config_, &engine);
    if (status != QUILLET_OK) raiseFor(status, quillet_error_message(nullptr));
    engine_.reset(engine);
    planes_ = 0;
    while (planes_ < 3 && quillet_plane_rows(&config_, planes_) > 0) ++planes_;
    layoutName_ = layout;
  }

  // A push and the pulls after it are one step under the filter's lock: a Filter shared by
  // threads loses no frame and gives them out in the order they went in.
  py::list push(const py::sequence& planes, bool interlaced) {
    QuilletFrame frame{};
    // Held here so that no plane goes away while the GIL is released, whatever else happens to
    // the sequence.
    const std::vector<py::array> arrays = check(planes, frame);
    return step([&] { return quillet_push_marked(engine_.get(), &frame, interlaced ? 1 : 0); });
  }

  py::list flush() {
    return step([&] { return quillet_flush(engine_.get()); });
  }

  int width() const { return config_.width; }
  int height() const { return config_.height; }
  const std::string& layout() const { return layoutName_; }
  int depth() const { return config_.bit_depth; }
  int threads() const { return quillet_engine_threads(engine_.get()); }
  std::string cpu() const {
    const QuilletCpu running = quillet_engine_cpu(engine_.get());
    for (const CpuName& c : kCpus) {
      if (c.cpu == running) return c.name;
    }
    return "unknown";
  }

 private:
  struct EngineDeleter {
    void operator()(QuilletEngine* engine) const { quillet_destroy(engine); }
  };

  py::dtype sampleType() const {
    return config_.bit_depth > 8 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>();
  }

  // The shape of plane p: rows by samples, or for packed rows (as PyAV's yuyv422) rows by pixel
  // slots by 2 bytes.
  std::vector<py::ssize_t> planeShape(int p) const {
    const auto rows = static_cast<py::ssize_t>(quillet_plane_rows(&config_, p));
    const auto columns = static_cast<py::ssize_t>(quillet_plane_row_bytes(&config_, p)) /
                         static_cast<py::ssize_t>(sampleType().itemsize());
    if (packed(config_.layout)) return {rows, columns / 2, 2};
    return {rows, columns};
  }

  static std::string dimsText(const std::vector<py::ssize_t>& shape) {
    std::string text = "(";
    for (size_t d = 0; d < shape.size(); ++d) {
      text += (d > 0 ? ", " : "") + std::to_string(shape[d]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
  }

  // Fills `frame` from the planes, or raises ValueError naming the first plane that does not
  // fit this filter's format. No plane is converted or copied: the frame points into them.
  std::vector<py::array> check(const py::sequence& planes, QuilletFrame& frame) const {
    if (static_cast<int>(py::len(planes)) != planes_) {
      throw py::value_error("a " + layoutName_ + " frame has " + std::to_string(planes_) +
                            " plane(s), got " + std::to_string(py::len(planes)));
    }
    const py::dtype type = sampleType();
    std::vector<py::array> arrays;
    for (int p = 0; p < planes_; ++p) {
      const py::object plane = planes[static_cast<size_t>(p)];
      const std::string name = "plane " + std::to_string(p);
      if (!py::isinstance<py::array>(plane)) {
        throw py::value_error(name + " is a " +
                              std::string(py::str(plane.get_type().attr("__name__"))) +
                              ", not a numpy array");
      }
      auto array = plane.cast<py::array>();
      if (!array.dtype().equal(type)) {
        throw py::value_error(name + " has dtype " +
                              std::string(py::str(py::handle(array.dtype()))) + "; " +
                              std::to_string(config_.bit_depth) + "-bit frames need " +
                              std::string(py::str(py::handle(type))));
      }
      const std::vector<py::ssize_t> want = planeShape(p);
      const std::vector<py::ssize_t> got(array.shape(), array.shape() + array.ndim());
      if (got != want) {
        throw py::value_error(name + " has shape " + dimsText(got) + "; " +
                              std::to_string(config_.width) + "x" + std::to_string(config_.height) +
                              " " + layoutName_ + " needs " + dimsText(want));
      }
      const py::ssize_t rowBytes = static_cast<py::ssize_t>(quillet_plane_row_bytes(&config_, p));
      // Each row's samples one after another (a packed row's pixel slots of 2 bytes too); the
      // step across a single column or down a single row is never taken, so any will do.
      const bool rowContiguous =
          array.ndim() == 2 ? want[1] == 1 || array.strides(1) == type.itemsize()
                            : array.strides(2) == 1 && (want[1] == 1 || array.strides(1) == 2);
      const py::ssize_t rowStride = want[0] == 1 ? rowBytes : array.strides(0);
      if (!rowContiguous || rowStride < rowBytes) {
        throw py::value_error(name + " has strides " +
                              shapeText(array.strides(0), array.strides(1)) +
                              "; its rows must be contiguous and in order "
                              "(numpy.ascontiguousarray makes them so)");
      }
      frame.planes[p] = const_cast<void*>(array.data());
      frame.strides[p] = rowStride;
      arrays.push_back(std::move(array));
    }
    return arrays;
  }

  // One frame's planes in memory of its own, handed to numpy once the frame is out.
  struct Planes {
    std::array<std::unique_ptr<uint8_t[]>, 3> data;
  };

  // Runs `call` (a push or the flush) and pulls every frame then ready, all under the lock and
  // without the GIL; then gives the frames out as new arrays, or raises the first failure.
  template <class Call>
  py::list step(Call call) {
    std::vector<Planes> frames;
    QuilletStatus status;
    std::string error;
    {
      py::gil_scoped_release unlocked;
      const std::lock_guard<std::mutex> lock(mutex_);
      status = call();
      while (status == QUILLET_OK) {
        Planes planes;
        QuilletFrame frame{};
        for (int p = 0; p < planes_; ++p) {
          const size_t row = quillet_plane_row_bytes(&config_, p);
          planes.data[p].reset(
              new uint8_t[row * static_cast<size_t>(quillet_plane_rows(&config_, p))]);
          frame.planes[p] = planes.data[p].get();
          frame.strides[p] = static_cast<ptrdiff_t>(row);
        }
        status = quillet_pull(engine_.get(), &frame, nullptr);
        if (status == QUILLET_OK) frames.push_back(std::move(planes));
      }
      if (status < 0) error = quillet_error_message(engine_.get());
    }
    if (status < 0) raiseFor(status, error.c_str());
    py::list out;
    const py::dtype type = sampleType();
    for (Planes& planes : frames) {
      py::tuple arrays(static_cast<size_t>(planes_));
      for (int p = 0; p < planes_; ++p) {
        const std::vector<py::ssize_t> shape = planeShape(p);
        std::vector<py::ssize_t> strides(shape.size(), type.itemsize());
        for (size_t d = shape.size() - 1; d > 0; --d) strides[d - 1] = strides[d] * shape[d];
        uint8_t* data = planes.data[p].release();
        const py::capsule owner(data, [](void* d) { delete[] static_cast<uint8_t*>(d); });
        arrays[static_cast<size_t>(p)] = py::array(type, shape, strides, data, owner);
      }
      out.append(std::move(arrays));
    }
    return out;
  }

  QuilletConfig config_{};
  std::unique_ptr<QuilletEngine, EngineDeleter> engine_;
  std::mutex mutex_;  // one step (a push or the flush, and its pulls) at a time
  int planes_ = 3;
  std::string layoutName_;
};

}  // namespace
}  // namespace quillet::python

PYBIND11_MODULE(_quillet, m) {
  using quillet::python::Filter;
  m.doc() = "The Quillet++ engine over numpy planes.";
  py::class_<Filter>(m, "Filter", R"doc(
Filter(width, height, layout="420", depth=8, *, tap=0, top=0, bottom=0, motion=24, motion2=64,
       show_motion=False, next_frame=False, max=False, deint="all", comb_sensitivity=40,
       threads=0, cpu="auto")

Removes interlace combing from a stream of frames of one format. A frame is a tuple of 2-D
numpy arrays, one per plane (Y for "mono"; Y, Cb, Cr otherwise, chroma halved across for "422",
across and down for "420", quartered across for "411"): uint8 for 8-bit video, uint16 with the
value in the low bits for 9 to 16 bits. Semi-planar "nv12", "nv21" (uint8), "p010" (uint16, value
in the high bits), "p016": Y (H, W) and the chroma pairs (ceil(H/2), 2 * ceil(W/2)), the two
parts of PyAV's nv12 array. Packed 4:2:2 "yuy2", "uyvy", "yvyu": one uint8 array
(H, 2 * ceil(W/2), 2) of 2-byte pixel slots, PyAV's yuyv422 shape. These layouts fix their depth.
threads=0 runs one worker per processor.

deint picks the frames filtered: "all"; "interlaced", those pushed with interlaced=True; or
"combed", those the comb detector finds combed (comb_sensitivity 1..100: higher filters more;
a frame is then ready once the next one is pushed, as with next_frame). Every other frame comes
out as it went in. The first frame always waits for the second (or flush()), which stands in for
its missing previous frame.

A Filter may be shared by threads: each push() or flush() and the frames it returns are one
step under the filter's lock, so no frame is lost and frames come out in the order pushed.)doc")
      .def(py::init<int, int, const std::string&, int, int, int, int, int, int, bool, bool, bool,
                    const std::string&, int, int, const std::string&>(),
           py::arg("width"), py::arg("height"), py::arg("layout") = "420", py::arg("depth") = 8,
           py::kw_only(), py::arg("tap") = 0, py::arg("top") = 0, py::arg("bottom") = 0,
           py::arg("motion") = 24, py::arg("motion2") = 64, py::arg("show_motion") = false,
           py::arg("next_frame") = false, py::arg("max") = false, py::arg("deint") = "all",
           py::arg("comb_sensitivity") = 40, py::arg("threads") = 0, py::arg("cpu") = "auto")
      .def("push", &Filter::push, py::arg("planes"), py::arg("interlaced") = true,
           "Takes one frame (copied in), marked interlaced or progressive (deint=\"interlaced\" "
           "filters only the frames marked interlaced); returns the list of frames now ready, "
           "in order.")
      .def("flush", &Filter::flush,
           "Ends the stream; returns the frames still held. push() is an error afterwards.")
      .def_property_readonly("width", &Filter::width)
      .def_property_readonly("height", &Filter::height)
      .def_property_readonly("layout", &Filter::layout)
      .def_property_readonly("depth", &Filter::depth)
      .def_property_readonly("threads", &Filter::threads, "Worker threads the engine runs.")
      .def_property_readonly("cpu", &Filter::cpu, "The kernel set the engine runs.");
}
