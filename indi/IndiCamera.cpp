#include "indi/IndiCamera.h"

#include "indi/FitsImage.h"
#include "platform/Clocks.h"
#include "platform/Files.h"

#include <libindi/basedevice.h>
#include <libindi/indipropertyblob.h>
#include <libindi/indipropertynumber.h>
#include <libindi/indipropertyswitch.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

constexpr double kFindSeconds = 10;  // for the camera to be announced and connected
constexpr double kLateSeconds = 30;  // an exposure this much overdue counts as lost
constexpr int kStopCheckMs = 100;
constexpr double kLongestSide = 65536;

bool takesExposures(const INDI::BaseDevice& device) {
    return (device.getDriverInterface() & INDI::BaseDevice::CCD_INTERFACE) != 0 ||
           device.getNumber("CCD_EXPOSURE").isValid();
}

// The camera's image size: its frame over its binning; none while it is not
// known, or when the driver reports one no image can have (a frame of 1e12
// or below 1, NaN).
cv::Size sizeOf(const INDI::BaseDevice& device) {
    const INDI::PropertyNumber frame = device.getNumber("CCD_FRAME");
    const INDI::PropertyNumber binning = device.getNumber("CCD_BINNING");
    if (!frame.isValid()) return {};
    const auto value = [](const INDI::PropertyNumber& p, const char* name, double otherwise) {
        const auto* widget = p.isValid() ? p.findWidgetByName(name) : nullptr;
        return widget != nullptr ? widget->getValue() : otherwise;
    };
    const double binX = std::max(1.0, value(binning, "HOR_BIN", 1)),
                 binY = std::max(1.0, value(binning, "VER_BIN", 1));
    const double width = value(frame, "WIDTH", 0) / binX, height = value(frame, "HEIGHT", 0) / binY;
    const auto possible = [](double side) { return side >= 1 && side <= kLongestSide; };
    if (!possible(width) || !possible(height)) return {};
    return {static_cast<int>(width), static_cast<int>(height)};
}

// What the driver says of its frame, as it says it: "1e+12x1024".
std::string frameOf(const INDI::BaseDevice& device) {
    const INDI::PropertyNumber frame = device.getNumber("CCD_FRAME");
    const auto* width = frame.isValid() ? frame.findWidgetByName("WIDTH") : nullptr;
    const auto* height = frame.isValid() ? frame.findWidgetByName("HEIGHT") : nullptr;
    return width == nullptr || height == nullptr ? "none"
                                                 : cv::format("%gx%g", width->getValue(), height->getValue());
}

// The most pixels an image may have: four times the sensor, and never more
// than a FITS image is ever let have.
int64_t pixelBudget(const INDI::BaseDevice& device) {
    const INDI::PropertyNumber info = device.getNumber("CCD_INFO");
    const auto* x = info.isValid() ? info.findWidgetByName("CCD_MAX_X") : nullptr;
    const auto* y = info.isValid() ? info.findWidgetByName("CCD_MAX_Y") : nullptr;
    if (x == nullptr || y == nullptr || !(x->getValue() >= 1 && x->getValue() <= kLongestSide) ||
        !(y->getValue() >= 1 && y->getValue() <= kLongestSide))
        return kMostFitsPixels;
    return std::min(kMostFitsPixels, static_cast<int64_t>(4 * 3 * x->getValue() * y->getValue()));
}

// A number property, an element a line: "CCD_GAIN.GAIN (number): min=0
// max=100 step=1 value=7"; a switch property in one line: "CCD_TRANSFER_FORMAT
// (switch, one of): FORMAT_FITS=On FORMAT_NATIVE=Off". Other kinds: nothing.
std::string describeProperty(const INDI::Property& property) {
    const std::string readOnly = property.getPermission() == IP_RO ? ", read-only" : "";
    std::string text;
    if (property.getType() == INDI_NUMBER) {
        const INDI::PropertyNumber number(property);
        for (const auto& element : number)
            text += cv::format("%s.%s (number%s): min=%g max=%g step=%g value=%g\n", number.getName(),
                               element.getName(), readOnly.c_str(), element.getMin(), element.getMax(),
                               element.getStep(), element.getValue());
    } else if (property.getType() == INDI_SWITCH) {
        const INDI::PropertySwitch switches(property);
        const ISRule rule = switches.getRule();
        text = std::string(switches.getName()) + " (switch" +
               (rule == ISR_1OFMANY   ? ", one of"
                : rule == ISR_ATMOST1 ? ", at most one of"
                                      : "") +
               readOnly + "):";
        for (const auto& element : switches)
            text +=
                std::string(" ") + element.getName() + "=" + (element.getState() == ISS_ON ? "On" : "Off");
        text += "\n";
    }
    return text;
}

std::string where(const IndiSettings& settings) {
    return settings.host + ":" + std::to_string(settings.port);
}

}  // namespace

IndiCamera::IndiCamera(IndiSettings settings, FILE* err, const volatile std::sig_atomic_t* stopRequested)
    : settings_(std::move(settings)), err_(err), stopRequested_(stopRequested), said_(err) {
    setServer(settings_.host.c_str(), static_cast<unsigned int>(settings_.port));
    setVerbose(false);
}

IndiCamera::~IndiCamera() { release(); }

bool IndiCamera::open() {
    {
        // What a server said before is no more: the cameras are announced anew.
        const std::lock_guard<std::mutex> lock(mutex_);
        serverGone_ = false;
        image_.reset();
        cameras_.clear();
    }
    exposureAsked_ = -1;
    if (!connectServer()) {
        said_.say("indi: cannot reach the INDI server at " + where(settings_));
        return false;
    }
    if (!waitFor(kFindSeconds, [this] { return chosenCamera().has_value(); })) {
        said_.say(settings_.camera.empty()
                      ? "indi: the server at " + where(settings_) + " has no camera"
                      : "indi: the server at " + where(settings_) + " has no camera " + settings_.camera);
        disconnectServer();
        return false;
    }
    device_ = *chosenCamera();
    INDI::BaseDevice device = getDevice(device_.c_str());
    if (!device.isConnected()) connectDevice(device_.c_str());
    setBLOBMode(B_ALSO, device_.c_str(), "CCD1");
    if (!waitFor(kFindSeconds, [this] {
            const INDI::BaseDevice d = getDevice(device_.c_str());
            return d.isConnected() && d.getNumber("CCD_EXPOSURE").isValid() && sizeOf(d).area() > 0;
        })) {
        const INDI::BaseDevice d = getDevice(device_.c_str());
        said_.say(d.isConnected() && d.getNumber("CCD_FRAME").isValid()
                      ? "indi: the camera " + device_ + " reports a frame no image can have: " + frameOf(d)
                      : "indi: cannot connect the camera " + device_);
        disconnectServer();
        return false;
    }
    size_ = sizeOf(getDevice(device_.c_str()));
    pixelBudget_ = pixelBudget(getDevice(device_.c_str()));
    // Images come as FITS, whatever format another client left the camera
    // in: asked before the first exposure. A driver defines its properties
    // one after another as it connects; this one gets a moment to appear.
    if (waitFor(kFindSeconds / 2,
                [this] { return getDevice(device_.c_str()).getSwitch("CCD_TRANSFER_FORMAT").isValid(); }))
        askSwitch("CCD_TRANSFER_FORMAT", "FORMAT_FITS");
    setNumbers();
    opened_ = true;
    startExposure();
    return true;
}

std::optional<std::string> IndiCamera::chosenCamera() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : cameras_)
        if (settings_.camera.empty() || name == settings_.camera) return name;
    return std::nullopt;
}

bool IndiCamera::waitFor(double seconds, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until || stopAsked()) return false;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(kStopCheckMs));
    }
    return true;
}

CameraMode IndiCamera::reported() const { return {opened_ ? size_ : cv::Size(), 0}; }

// The numbers asked for; one line for each the camera does not have.
void IndiCamera::setNumbers() {
    // A driver defines its properties one after another as it connects:
    // those asked for get a moment to appear.
    waitFor(kFindSeconds / 2, [this] {
        const INDI::BaseDevice device = getDevice(device_.c_str());
        for (const auto& asked : settings_.numbers)
            if (!device.getNumber(asked.first.substr(0, asked.first.find('.')).c_str()).isValid())
                return false;
        return true;
    });
    const INDI::BaseDevice device = getDevice(device_.c_str());
    for (const auto& [name, value] : settings_.numbers) {
        const size_t dot = name.find('.');
        const std::string property = name.substr(0, dot);
        const INDI::PropertyNumber number = device.getNumber(property.c_str());
        const INumber* element = !number.isValid() ? nullptr
                                 : dot == std::string::npos
                                     ? (number.size() > 0 ? &number[0] : nullptr)
                                     : number.findWidgetByName(name.substr(dot + 1).c_str());
        if (element == nullptr) {
            std::fprintf(err_, "indi: the camera %s has no number %s: not set\n", device_.c_str(),
                         name.c_str());
            std::fflush(err_);
            continue;
        }
        askNumber(property, element->name, value);
    }
}

// What is asked goes in a property of its own. The library's named calls
// set the value in the device's shared copy and send that copy, while the
// library's thread writes the driver's news into it: an exposure's
// countdown, reaching 0 as the image comes, went out as an exposure of 0 s,
// which the driver refuses, and no image came any more.
namespace {

// A property of one element, the tool's own, named for sending.
template <typename Property>
Property oneElement(const std::string& device, const std::string& property, const std::string& element) {
    Property asked(1);
    asked.setDeviceName(device.c_str());
    asked.setName(property.c_str());
    asked[0].setName(element.c_str());
    return asked;
}

}  // namespace

void IndiCamera::askNumber(const std::string& property, const std::string& element, double value) {
    auto asked = oneElement<INDI::PropertyNumber>(device_, property, element);
    asked[0].setValue(value);
    sendNewNumber(asked);
}

void IndiCamera::askSwitch(const std::string& property, const std::string& element) {
    auto asked = oneElement<INDI::PropertySwitch>(device_, property, element);
    asked[0].setState(ISS_ON);
    sendNewSwitch(asked);
}

void IndiCamera::startExposure() {
    exposureAsked_ = millis();
    askNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", settings_.exposureSeconds);
}

void IndiCamera::abortExposure() {
    if (exposureAsked_ >= 0) askSwitch("CCD_ABORT_EXPOSURE", "ABORT");
    exposureAsked_ = -1;
}

// Waits for the exposure running (the next starts as soon as its image is
// in); an image that is not a FITS file is skipped.
void IndiCamera::read(Frame& frame) {
    frame.jpeg = nullptr;
    for (;;) {
        if (!opened_) return frame.image.release();
        if (exposureAsked_ < 0) startExposure();
        std::optional<std::vector<uchar>> bytes = waitForImage();
        if (!bytes && stopAsked()) {
            // The run ends: the exposure is given up, the last image stands in.
            abortExposure();
            frame = last_;
            return;
        }
        if (!bytes) {
            opened_ = false;
            return frame.image.release();
        }
        const int64_t middle = exposureAsked_ + std::llround(settings_.exposureSeconds * 500);
        startExposure();
        Result<cv::Mat> decoded = decodeFits(bytes->data(), bytes->size(), pixelBudget_);
        if (!decoded) {
            said_.say("indi: the camera sent an image that cannot be read (" + decoded.reason() +
                      "): skipped");
            continue;
        }
        if (!settings_.keepFitsIn.empty())
            (void)writeFileAtomically(settings_.keepFitsIn + "/" + std::to_string(middle) + ".fits", *bytes,
                                      false);
        frame.image = *decoded;
        frame.millis = middle;
        last_ = frame;
        return;
    }
}

// The image of the exposure running; none when the server went, a stop was
// asked for or it is overdue. Tells how far the exposure is once a second.
std::optional<std::vector<uchar>> IndiCamera::waitForImage() {
    const auto late = std::chrono::steady_clock::now() +
                      std::chrono::duration<double>(settings_.exposureSeconds + kLateSeconds);
    // Exposures of a second or less are over before anyone could read how far they are.
    const bool long_ = progress_ && settings_.exposureSeconds > 1;
    auto report = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!image_ && !serverGone_ && !stopAsked() && std::chrono::steady_clock::now() < late) {
        changed_.wait_for(lock, std::chrono::milliseconds(kStopCheckMs));
        if (!long_ || image_ || std::chrono::steady_clock::now() < report) continue;
        report += std::chrono::seconds(1);
        lock.unlock();
        progress_({exposureAsked_, settings_.exposureSeconds, millis()});
        lock.lock();
    }
    if (passedOver_ > 0 && !saidPassedOver_) {
        saidPassedOver_ = true;
        lock.unlock();
        said_.say(
            "indi: the camera sends images faster than they are taken: the newest is kept, the others "
            "passed over");
        lock.lock();
    }
    return std::exchange(image_, std::nullopt);
}

// Leaves quietly: no image is asked for or sent any more before the
// connection closes, so that none is cut off in the middle.
void IndiCamera::release() {
    if (opened_ && isServerConnected()) {
        abortExposure();
        setBLOBMode(B_NEVER, device_.c_str(), "CCD1");
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
    }
    opened_ = false;
    exposureAsked_ = -1;
    if (isServerConnected()) disconnectServer();
}

bool IndiCamera::reopen() {
    release();
    return open();
}

namespace {
std::optional<double> known(double value) {
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}
}  // namespace

std::optional<double> IndiCamera::sensorCelsius() const { return known(celsius_); }
std::optional<double> IndiCamera::exposureSeconds() const { return settings_.exposureSeconds; }
std::optional<double> IndiCamera::gain() const { return known(gain_); }

// The sensor's temperature and the gain, from the driver's thread, whenever it tells them.
void IndiCamera::noteReadings(INDI::Property property) {
    if (property.getType() != INDI_NUMBER || device_ != property.getDeviceName()) return;
    const std::string name = property.getName();
    const INDI::PropertyNumber number(property);
    if (name == "CCD_TEMPERATURE") {
        if (const auto* value = number.findWidgetByName("CCD_TEMPERATURE_VALUE"))
            celsius_ = value->getValue();
    } else if (name == "CCD_GAIN") {
        if (const auto* value = number.findWidgetByName("GAIN")) gain_ = value->getValue();
    }
}

void IndiCamera::newProperty(INDI::Property property) {
    noteReadings(property);
    if (std::string(property.getName()) != "CCD_EXPOSURE" && std::string(property.getName()) != "DRIVER_INFO")
        return;
    const INDI::BaseDevice device = property.getBaseDevice();
    if (!takesExposures(device)) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string name = device.getDeviceName();
    if (std::find(cameras_.begin(), cameras_.end(), name) == cameras_.end()) cameras_.push_back(name);
    changed_.notify_all();
}

void IndiCamera::updateProperty(INDI::Property property) {
    noteReadings(property);
    if (property.getType() != INDI_BLOB || std::string(property.getName()) != "CCD1" ||
        device_ != property.getDeviceName()) {
        changed_.notify_all();
        return;
    }
    INDI::PropertyBlob blob(property);
    if (blob.size() == 0) return;
    const auto* data = static_cast<const uchar*>(blob[0].getBlob());
    const int length = blob[0].getBlobLen();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (data == nullptr || length <= 0) return;
    // The newest image waits; one not taken yet is passed over, and counted.
    if (image_) ++passedOver_;
    image_.emplace(data, data + length);
    changed_.notify_all();
}

void IndiCamera::serverDisconnected(int) {
    const std::lock_guard<std::mutex> lock(mutex_);
    serverGone_ = true;
    changed_.notify_all();
}

Result<> IndiCamera::lookAtCameras(const IndiSettings& settings, bool chosen,
                                   const std::function<void(const INDI::BaseDevice&)>& each) {
    IndiCamera client(settings, stderr, nullptr);
    if (!client.connectServer()) return Failure{"cannot reach the INDI server at " + where(settings)};
    // Devices announce themselves as they come: give them a moment.
    client.waitFor(2, [] { return false; });
    std::vector<std::string> names;
    if (chosen) {
        if (const auto camera = client.chosenCamera()) names.push_back(*camera);
    } else {
        const std::lock_guard<std::mutex> lock(client.mutex_);
        names = client.cameras_;
    }
    // A camera tells its size and properties once connected: one that is not
    // is connected for the listing, and left as it was.
    std::vector<std::string> connected;
    for (const std::string& name : names)
        if (!client.getDevice(name.c_str()).isConnected()) {
            client.connectDevice(name.c_str());
            connected.push_back(name);
        }
    client.waitFor(kFindSeconds / 2, [&client, &names] {
        for (const std::string& name : names)
            if (sizeOf(client.getDevice(name.c_str())).area() == 0) return false;
        return true;
    });
    if (!connected.empty()) client.waitFor(0.5, [] { return false; });  // the rest of its properties
    for (const std::string& name : names)
        each(client.getDevice(name.c_str()));
    for (const std::string& name : connected)
        client.disconnectDevice(name.c_str());
    client.disconnectServer();
    if (chosen && names.empty())
        return Failure{"the server at " + where(settings) + " has no camera" +
                       (settings.camera.empty() ? "" : " " + settings.camera)};
    return {};
}

Result<std::vector<std::pair<std::string, cv::Size>>> IndiCamera::cameras(const IndiSettings& settings) {
    std::vector<std::pair<std::string, cv::Size>> found;
    const Result<> looked = lookAtCameras(settings, false, [&found](const INDI::BaseDevice& device) {
        found.emplace_back(device.getDeviceName(), sizeOf(device));
    });
    if (!looked) return Failure{looked.reason()};
    return found;
}

Result<std::string> IndiCamera::controls(const IndiSettings& settings) {
    std::string listed;
    const Result<> looked = lookAtCameras(settings, true, [&listed](const INDI::BaseDevice& device) {
        for (const INDI::Property& property : device.getProperties())
            listed += describeProperty(property);
    });
    if (!looked) return Failure{looked.reason()};
    return listed;
}

// The INDI client library's own log lines ("creating new connection...") go
// nowhere: the tool says what matters in its own words.
void IDLog(const char*, ...) {}
