// kova._kova: the Python binding of libkova-client. Frames are numpy views of the shared
// buffers themselves; the only copy is the one send() makes of a caller's own picture (two when
// its pixels are not packed).
//
// Threading: every blocking call releases the GIL. A Camera or Viewer may be shared between
// Python threads: each guards its client-library object with a mutex, taken after the GIL is
// released (and let go before it is taken back), so the two locks never wait on each other.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "FrameConversion.h"
#include "kova/kova.h"

namespace py = pybind11;

namespace kova::python {
namespace {

using namespace std::chrono_literals;

// How long a blocking wait runs between checks for Ctrl-C.
constexpr auto kSignalCheckInterval = 100ms;

const char* codeName(ErrorCode code) {
    switch (code) {
        case ErrorCode::NoCamera:
            return "no_camera";
        case ErrorCode::Refused:
            return "refused";
        case ErrorCode::ProtocolError:
            return "protocol_error";
        case ErrorCode::Disconnected:
            return "disconnected";
        case ErrorCode::InvalidArgument:
            return "invalid_argument";
        case ErrorCode::SystemError:
            return "system_error";
        case ErrorCode::Timeout:
            return "timeout";
        case ErrorCode::Untrusted:
            return "untrusted";
        case ErrorCode::SinkBusy:
            return "sink_busy";
        case ErrorCode::TakenOver:
            return "taken_over";
    }
    return "unknown";
}

ConnectOptions optionsOf(const std::optional<std::string>& socket) {
    return ConnectOptions{socket.value_or("")};
}

// A view of `size` bytes of frame memory at `data`, kept alive by `owner`.
py::array frameView(std::uint8_t* data, std::size_t stride, std::size_t height, std::size_t width,
                    py::handle owner, bool writable) {
    py::array view(py::dtype::of<std::uint8_t>(),
                   {py::ssize_t(height), py::ssize_t(width), py::ssize_t(4)},
                   {py::ssize_t(stride), py::ssize_t(4), py::ssize_t(1)}, data, owner);
    if (!writable) view.attr("flags").attr("writeable") = false;
    return view;
}

// ---- Camera ----

// The producer and its lock, shared by the camera and every frame view it lent: a view keeps
// the producer, and so the memory it maps, alive.
struct ProducerState {
    std::mutex mutex;
    Producer producer;
    bool open = true;

    explicit ProducerState(Producer p) : producer(std::move(p)) {}

    void requireOpen() const {
        if (!open) throw Error(ErrorCode::InvalidArgument, "the camera is closed");
    }
};

class FrameBlock;

class Camera {
  public:
    Camera(std::optional<double> fps, bool takeOver, const std::optional<std::string>& socket) {
        const auto options = optionsOf(socket);
        ProducerOptions producerOptions;
        producerOptions.take_over = takeOver;
        std::optional<Producer> producer;
        {
            py::gil_scoped_release unlocked;
            producer.emplace(Producer::open(options, producerOptions));
            if (fps) producer->set_frame_rate(*fps);
        }
        state_ = std::make_shared<ProducerState>(std::move(*producer));
    }

    void send(const py::array& frame, const std::optional<std::string>& order) {
        // Released after the GIL is back: it may hold a packed copy of the frame.
        const SourcePicture source = sourcePictureOf(frame, order);
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state_->mutex);
        state_->requireOpen();
        auto target = state_->producer.acquire();
        convertToBgra(source, target.data());
        state_->producer.push(std::move(target));
    }

    void sleepUntilNextFrame() {
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state_->mutex);
        state_->requireOpen();
        state_->producer.sleep_until_next_frame();
    }

    Producer::Counters counters() const {
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state_->mutex);
        return state_->producer.counters();
    }

    // Ends the session once its queued frames are back, so that the counters are final.
    void close() {
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state_->mutex);
        if (!state_->open) return;
        state_->open = false;
        state_->producer.close();
    }

    const std::shared_ptr<ProducerState>& state() const { return state_; }

  private:
    std::shared_ptr<ProducerState> state_;
};

// `with cam.frame() as f:` a writable view of the next shared buffer, pushed when the block
// ends without an exception and given back unpushed when it raises.
class FrameBlock {
  public:
    explicit FrameBlock(std::shared_ptr<ProducerState> state) : state_(std::move(state)) {}

    py::array enter(py::object self) {
        if (frame_ || used_) throw py::value_error("a frame block is entered once");
        used_ = true;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard lock(state_->mutex);
            state_->requireOpen();
            frame_.emplace(state_->producer.acquire());
        }
        py::array view =
            frameView(frame_->data(), frame_->stride(), kFrameHeight, kFrameWidth, self, true);
        // Weakly, so that the view (whose base is this block) and the block form no cycle.
        view_ = py::weakref(view);
        return view;
    }

    void exit(const py::object& excType) {
        if (!frame_) return;
        // The buffer is the camera's once pushed: the view stops being writable.
        if (py::object view = view_(); !view.is_none())
            view.attr("flags").attr("writeable") = false;
        auto frame = std::move(*frame_);
        frame_.reset();
        if (!excType.is_none()) return;  // goes back to the pool unpushed
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state_->mutex);
        state_->requireOpen();
        state_->producer.push(std::move(frame));
    }

  private:
    std::shared_ptr<ProducerState> state_;
    std::optional<Producer::Frame> frame_;
    py::weakref view_;
    bool used_ = false;
};

// ---- Viewer ----

struct ViewerState {
    std::mutex mutex;
    Viewer viewer;
    explicit ViewerState(Viewer v) : viewer(std::move(v)) {}
};

// A received frame; its buffer goes back to the camera once it and every view of it are gone.
struct ReceivedFrame {
    Viewer::Frame frame;
};

const char* originName(Viewer::Origin origin) {
    return origin == Viewer::Origin::Sink ? "sink" : "placeholder";
}

class ViewerHandle {
  public:
    explicit ViewerHandle(const std::optional<std::string>& socket) {
        const auto options = optionsOf(socket);
        std::optional<Viewer> viewer;
        {
            py::gil_scoped_release unlocked;
            viewer.emplace(Viewer::open(options));
        }
        state_ = std::make_shared<ViewerState>(std::move(*viewer));
    }

    // The next frame within `timeout` seconds (None: no limit), or None. Waits in short steps
    // so that Ctrl-C interrupts it.
    std::optional<ReceivedFrame> next(std::optional<double> timeout) {
        if (timeout && !(*timeout >= 0)) throw py::value_error("a timeout cannot be negative");
        if (!state_) throw Error(ErrorCode::InvalidArgument, "the viewer is closed");
        // Held by this call, so that a close() on another thread cannot free it under us.
        const auto state = state_;
        const auto deadline =
            timeout ? std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(*timeout))
                    : std::chrono::steady_clock::time_point::max();
        for (;;) {
            const auto left = deadline - std::chrono::steady_clock::now();
            const auto step = std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
                std::chrono::steady_clock::duration::zero(),
                std::min<std::chrono::steady_clock::duration>(left, kSignalCheckInterval)));
            std::optional<Viewer::Frame> frame;
            {
                py::gil_scoped_release unlocked;
                std::lock_guard lock(state->mutex);
                frame = state->viewer.next_frame(step);
            }
            if (frame) return ReceivedFrame{std::move(*frame)};
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    std::uint64_t framesMissed() const {
        if (!state_) throw Error(ErrorCode::InvalidArgument, "the viewer is closed");
        const auto state = state_;
        py::gil_scoped_release unlocked;
        std::lock_guard lock(state->mutex);
        return state->viewer.frames_missed();
    }

    // Ends the session once no call is using it; frames still held stay readable. The member
    // is only touched with the GIL held.
    void close() { state_.reset(); }

  private:
    std::shared_ptr<ViewerState> state_;
};

py::dict infoDict(const CameraInfo& info) {
    py::list streams;
    for (const auto& stream : info.streams) {
        py::dict entry;
        entry["name"] = stream.name;
        entry["direction"] = stream.direction;
        entry["fourcc"] = stream.fourcc;
        entry["width"] = stream.width;
        entry["height"] = stream.height;
        entry["frame_rate"] =
            stream.frame_duration_value > 0
                ? double(stream.frame_duration_timescale) / double(stream.frame_duration_value)
                : 0.0;
        entry["frame_duration"] =
            py::make_tuple(stream.frame_duration_value, stream.frame_duration_timescale);
        entry["active_format_index"] = stream.active_format_index;
        if (stream.sink_buffer_queue_size) {
            entry["sink_buffer_queue_size"] = *stream.sink_buffer_queue_size;
        }
        if (stream.sink_buffers_required_for_startup) {
            entry["sink_buffers_required_for_startup"] = *stream.sink_buffers_required_for_startup;
        }
        streams.append(entry);
    }
    py::dict result;
    result["manufacturer"] = info.manufacturer;
    result["device_name"] = info.device_name;
    result["device_id"] = info.device_id;
    result["legacy_device_id"] = info.legacy_device_id;
    result["model"] = info.model;
    result["transport_type"] = info.transport_type;
    result["streams"] = streams;
    return result;
}

py::dict statusDict(const CameraStatus& status) {
    py::object producer = py::none();
    if (status.producer) {
        py::dict entry;
        entry["name"] = status.producer->name;
        entry["pid"] = status.producer->pid;
        entry["fps"] = status.producer->frames_last_second;
        entry["pushed"] = status.producer->pushed;
        entry["dropped"] = status.producer->dropped;
        producer = entry;
    }
    py::list viewers;
    for (const auto& viewer : status.viewers) {
        py::dict entry;
        entry["name"] = viewer.name;
        entry["pid"] = viewer.pid;
        entry["frames"] = viewer.frames;
        entry["missed"] = viewer.missed;
        viewers.append(entry);
    }
    py::dict result;
    result["socket"] = status.socket_path;
    result["camera_pid"] = status.camera_pid;
    result["uptime_s"] = double(status.uptime_ns) / 1e9;
    result["output"] = output_name(status.output);
    result["producer"] = producer;
    result["viewer_count"] = status.viewer_count;
    result["viewers"] = viewers;
    result["frames_relayed"] = status.frames_relayed;
    result["frames_placeholder"] = status.frames_placeholder;
    result["frames_pushed"] = status.frames_pushed;
    result["frames_dropped"] = status.frames_dropped;
    result["frames_missed"] = status.frames_missed;
    result["sink_sessions"] = status.sink_sessions;
    result["take_overs"] = status.take_overs;
    return result;
}

}  // namespace
}  // namespace kova::python

PYBIND11_MODULE(_kova, m) {
    using namespace kova::python;
    m.doc() = "The Kova virtual camera: push numpy frames into it, or read what it outputs.";

    m.attr("FRAME_WIDTH") = kova::kFrameWidth;
    m.attr("FRAME_HEIGHT") = kova::kFrameHeight;

    static py::exception<kova::Error> error(m, "Error", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const kova::Error& failure) {
            py::object instance = py::handle(error.ptr())(failure.what());
            instance.attr("code") = codeName(failure.code());
            PyErr_SetObject(error.ptr(), instance.ptr());
        }
    });

    py::class_<FrameBlock>(m, "FrameBlock")
        .def("__enter__", [](py::object self) { return self.cast<FrameBlock&>().enter(self); })
        .def("__exit__",
             [](FrameBlock& block, const py::object& type, const py::object&, const py::object&) {
                 block.exit(type);
                 return false;
             });

    py::class_<Camera>(m, "Camera")
        .def(py::init<std::optional<double>, bool, const std::optional<std::string>&>(),
             py::arg("fps") = py::none(), py::arg("take_over") = false,
             py::arg("socket") = py::none())
        .def("send", &Camera::send, py::arg("frame"), py::arg("order") = py::none())
        .def("frame", [](const Camera& camera) { return FrameBlock(camera.state()); })
        .def("sleep_until_next_frame", &Camera::sleepUntilNextFrame)
        .def("close", &Camera::close)
        .def_property_readonly("frames_sent",
                               [](const Camera& camera) { return camera.counters().sent; })
        .def_property_readonly("dropped",
                               [](const Camera& camera) { return camera.counters().dropped; })
        .def_property_readonly("fps", [](const Camera& camera) { return camera.counters().fps; })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](Camera& camera, const py::object& type, const py::object&, const py::object&) {
                 // A block that raised keeps its own exception, not one from closing.
                 try {
                     camera.close();
                 } catch (const kova::Error&) {
                     if (type.is_none()) throw;
                 }
                 return false;
             });

    py::class_<ReceivedFrame>(m, "Frame")
        .def_property_readonly("seq", [](const ReceivedFrame& f) { return f.frame.sequence(); })
        .def_property_readonly("host_time_ns",
                               [](const ReceivedFrame& f) { return f.frame.host_time_ns(); })
        .def_property_readonly("received_ns",
                               [](const ReceivedFrame& f) { return f.frame.received_ns(); })
        .def_property_readonly("origin",
                               [](const ReceivedFrame& f) { return originName(f.frame.origin()); })
        .def_property_readonly("missed",
                               [](const ReceivedFrame& f) { return f.frame.missed_before(); })
        .def("intact", [](const ReceivedFrame& f) { return f.frame.intact(); })
        .def_property_readonly("pixels",
                               [](py::object self) {
                                   const auto& f = self.cast<const ReceivedFrame&>().frame;
                                   return frameView(const_cast<std::uint8_t*>(f.data()), f.stride(),
                                                    f.height(), f.width(), self, false);
                               })
        .def(
            "__array__",
            // np.asarray(frame) is the view; a dtype or copy=True asks for a copy.
            [](py::object self, const py::object& dtype, const py::object& copy) {
                py::object pixels = self.attr("pixels");
                if (dtype.is_none() && !py::bool_(copy)) return pixels;
                return pixels.attr("astype")(dtype.is_none() ? pixels.attr("dtype") : dtype);
            },
            py::arg("dtype") = py::none(), py::arg("copy") = py::none());

    py::class_<ViewerHandle>(m, "Viewer")
        .def(py::init<const std::optional<std::string>&>(), py::arg("socket") = py::none())
        .def("next", &ViewerHandle::next, py::arg("timeout") = py::none())
        .def("close", &ViewerHandle::close)
        .def_property_readonly("frames_missed", &ViewerHandle::framesMissed)
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](ViewerHandle& viewer) { return *viewer.next(std::nullopt); })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](ViewerHandle& viewer, const py::object&, const py::object&, const py::object&) {
                 viewer.close();
                 return false;
             });

    m.def(
        "info",
        [](const std::optional<std::string>& socket) {
            kova::CameraInfo info;
            {
                py::gil_scoped_release unlocked;
                info = kova::query_info(optionsOf(socket));
            }
            return infoDict(info);
        },
        py::arg("socket") = py::none());
    m.def(
        "status",
        [](const std::optional<std::string>& socket) {
            kova::CameraStatus status;
            {
                py::gil_scoped_release unlocked;
                status = kova::query_status(optionsOf(socket));
            }
            return statusDict(status);
        },
        py::arg("socket") = py::none());
    m.def("host_time_ns", &kova::host_time_now);
}
