#include "web_dump/http_service.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "core/numbers.h"
#include "files/datafile.h"

namespace kvr::web {

namespace {

const char* const kMultipart = "multipart/form-data; boundary=AaB03x";
const char* const kViewQuestion = "Do you want to view the web response?";

// Restores the normal mouse pointer however the request ends.
struct BusyPointer {
    explicit BusyPointer(Screen& s) : screen(s) { screen.setBusy(true); }
    ~BusyPointer() { screen.setBusy(false); }
    Screen& screen;
};

bool readWhole(const std::filesystem::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Moves the stored answer to its final name. A rename costs nothing however
// large the answer; a copy is the fallback across file systems.
bool handOver(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) {
    std::error_code ec;
    if (to.has_parent_path()) std::filesystem::create_directories(to.parent_path(), ec);
    std::filesystem::remove(to, ec);
    std::filesystem::rename(from, to, ec);
    if (!ec) return true;
    ec.clear();
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        error = to.string() + ": " + ec.message();
        return false;
    }
    std::filesystem::remove(from, ec);
    return true;
}

}  // namespace

std::int64_t inactivityLimitMs(Settings& settings) {
    double seconds = leadingNumber(settings.get(kKvrApp, kStartup, "HttpTimeout", "60"));
    if (!(seconds > 0)) seconds = 60;
    if (seconds > 86400) seconds = 86400;
    return static_cast<std::int64_t>(seconds * 1000);
}

HttpService::HttpService(Screen& screen, Settings& settings, HttpTransport& transport, std::filesystem::path folder,
                         std::function<void(const std::filesystem::path&)> openViewer)
    : screen_(screen), settings_(settings), transport_(transport), folder_(std::move(folder)),
      openViewer_(std::move(openViewer)) {}

// Nothing goes between the full stop and the description.
void HttpService::failure(int number, const std::string& description) {
    screen_.messageBox("Error(" + std::to_string(number) + ") synchronizing web server." + description, "ERROR",
                       Icon::Exclamation, Buttons::Ok);
}

void HttpService::offerResponse(const std::string& text) {
    if (screen_.messageBox(text, "ERROR", Icon::None, Buttons::YesNo) && openViewer_) openViewer_(responsePath());
}

bool HttpService::httpRequest(const std::string& method, const std::string& url,
                              const std::filesystem::path& file) {
    bool result = false;
    {
        std::optional<BusyPointer> busy(std::in_place, screen_);
        screen_.yield();

        std::error_code ec;
        std::filesystem::remove(responsePath(), ec);

        HttpRequestSpec desc;
        desc.method = method;
        desc.url = url;
        desc.contentType = kMultipart;
        desc.inactivityLimitMs = inactivityLimitMs(settings_);
        if (method == "POST" && !readWhole(file, desc.body)) {
            int e = errno ? errno : EIO;
            failure(e, file.string() + ": " + std::strerror(e));
            return false;
        }

        DataFile response;
        if (!response.open(responsePath(), DataFile::Mode::Truncate)) {
            failure(EIO, responsePath().string() + ": " + response.errorText());
            return false;
        }
        desc.proxy = requestProxy(settings_);
        desc.caFile = trimBlanks(settings_.get(kKvrApp, kStartup, "CaFile", ""));

        HttpOutcome out = transport_.perform(
            desc, [&](std::string_view bytes) { return response.write(bytes); }, [&] { screen_.yield(); });
        // A body that could not be stored whole must not count as received:
        // its readings would be lost while the run reports success.
        bool stored = response.close();
        busy.reset();
        if (out.setupError != 0) {
            failure(out.setupError, out.setupErrorText);
            return false;
        }
        if (!stored) {
            failure(EIO, responsePath().string() + ": " + response.errorText());
            return false;
        }

        if (out.errorNumber > 0) {
            offerResponse("ERROR(" + std::to_string(out.errorNumber) +
                          "): The HTTP server could not process the data. " + out.errorText + "\r\r" +
                          kViewQuestion);
            return false;
        }
        if (!out.haveStatus) {
            failure(out.errorNumber != 0 ? out.errorNumber : 1, out.errorText.empty() ? "No answer" : out.errorText);
            return false;
        }
        if (out.status != 200) {
            offerResponse("ERROR(" + std::to_string(out.status) +
                          "): The web server could not process the data. " + out.statusText + "\r\r" +
                          kViewQuestion);
            return false;
        }
        result = true;
        if (method == "GET") {
            std::string error;
            if (!handOver(responsePath(), file, error)) {
                failure(EIO, error);
                return false;
            }
            return true;
        }
        std::string reply;
        readWhole(responsePath(), reply);
        if (trimBlanks(reply).rfind("Done", 0) != 0) {
            if (screen_.messageBox(std::string("SERVER ERROR: The web server could not process the data.") +
                                       "\r\r" + kViewQuestion,
                                   "ERROR", Icon::None, Buttons::YesNo)) {
                if (openViewer_) openViewer_(responsePath());
                return result;
            }
        }
        std::filesystem::remove(responsePath(), ec);
    }
    return result;
}

}  // namespace kvr::web
