// The five HTTP requests, their bodies and the completions of "/CheckAPI" and
// "/RequestInvite". Bodies are built piece by piece: the server matches on the
// exact spacing.
#include "plugin/Prelude.h"

#include <map>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "bakkesmod/wrappers/http/HttpWrapper.h"
#include "net/JsonText.h"
#include "plugin/CRW.h"
#include "plugin/Globals.h"
#include "plugin/TextBounds.h"

namespace crw {

std::string jsonEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
            } else {
                out += ch;
            }
        }
    }
    return out;
}

std::string truncatedMMRText(float mmr)
{
    // Truncated, not rounded, to one decimal: the server compares the text.
    std::string text = fmt::format("{:.6f}", static_cast<double>(mmr));
    const auto dot = text.find('.');
    if (dot != std::string::npos && dot + 2 <= text.size()) {
        text.resize(dot + 2);
    }
    return text;
}

} // namespace crw

namespace {

const char* const kUnreachable = "An error ocurred, couldn't reach the server !";

void sendRegistration(CRW& plugin, bool update)
{
    CurlRequest request;
    {
        std::lock_guard<std::recursive_mutex> lock(plugin.stateMutex);
        request.url = plugin.serverUrl + (update ? "/UpdateRegistration" : "/register");
        request.body = plugin.BuildRegistrationBody(update ? plugin.editSettings : plugin.registerSettings);
        crw::LOG("Request body : {}", request.body);
    }
    // Sent without the lock: a host may complete at once, and the
    // registration completion waits for the socket.
    std::string sent = request.body;
    CRW* self = &plugin;
    HttpWrapper::SendCurlJsonRequest(std::move(request), [self, update, sent](int code, std::string result) {
        if (update) {
            self->OnUpdateResult(code, std::move(result), sent);
        } else {
            self->OnRegisterResult(code, std::move(result), sent);
        }
    });
}

} // namespace

std::string CRW::reportedText(const std::string& response) const
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    // An empty address would match every text.
    if (!serverAddress.empty() && response.find(serverAddress) != std::string::npos) {
        return kUnreachable;
    }
    return response;
}

std::string CRW::errorText(int code, const std::string& tail) { return "ERROR " + std::to_string(code) + " | " + tail; }

void CRW::CheckAPI()
{
    CurlRequest request;
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        request.url = serverUrl + "/CheckAPI";
    }
    crw::LOG("Checking API...");
    HttpWrapper::SendCurlRequest(std::move(request),
                                 [this](int code, std::string result) { OnCheckAPIResult(code, std::move(result)); });
}

void CRW::OnCheckAPIResult(int code, std::string result)
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    if (code == 200) {
        crw::LOG("code : {} | {}", code, crw::logPayload(result));
        return;
    }
    const std::string text = errorText(code, "Couldn't connect to the server.");
    crw::LOG("{}", text);
    checkAPIPopup.message = text;
    checkAPIPopup.open = true;
    isRegistered = false;
    allSearchers.clear();
    searchers.clear();
    ++searchersVersion;
}

void CRW::GetSearchers()
{
    CurlRequest request;
    std::map<std::string, float> userMMRByPlaylist;
    uint64_t seq = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        isLoadingSearchers = true;
        ClearSearchers();
        MMRWrapper mmrWrapper = gameWrapper->GetMMRWrapper();
        for (const auto& playlist : playlists) {
            if (playlist.name == "Other") {
                continue;
            }
            userMMRByPlaylist[playlist.name] = mmrWrapper.GetPlayerMMR(gameWrapper->GetUniqueID(), playlist.id);
        }
        request.url = serverUrl + "/list";
        seq = ++listRequestSeq;
    }
    HttpWrapper::SendCurlRequest(std::move(request), [this, userMMRByPlaylist, seq](int code, std::string result) {
        OnSearchersResult(userMMRByPlaylist, code, std::move(result), seq);
    });
}

void CRW::Register()
{
    if (beginRegistration()) {
        sendRegistration(*this, false);
    }
}

void CRW::UpdateRegistration() { sendRegistration(*this, true); }

std::string CRW::BuildRegistrationBody(crw::SearcherSettings& settings)
{
    using crw::jsonEscape;
    std::lock_guard<std::recursive_mutex> lock(stateMutex);

    std::string body = "{\"Type\":\"Register\", \"Title\": \"";
    body += jsonEscape(settings.titleText());
    body += "\", \"Creator\":{\"Name\": \"";
    body += jsonEscape(gameWrapper->GetPlayerName().ToString());
    body += "\", \"IdString\": \"";
    body += jsonEscape(gameWrapper->GetUniqueID().GetIdString());
    body += "\"}, \"Playlists\":[";

    bool anyPlaylist = false;
    for (auto& row : settings.playlists) {
        if (!row.enabled) {
            continue;
        }
        if (row.name != "Other") {
            MMRWrapper mmrWrapper = gameWrapper->GetMMRWrapper();
            row.mmr = crw::truncatedMMRText(mmrWrapper.GetPlayerMMR(gameWrapper->GetUniqueID(), row.id));
        }
        if (anyPlaylist) {
            body += ",";
        }
        body += "{\"Playlist\":\"";
        body += jsonEscape(row.name);
        body += "\", \"MMR\":\"";
        body += jsonEscape(row.mmr);
        body += "\", \"Range\":\"";
        body += std::to_string(row.range);
        body += "\"}";
        anyPlaylist = true;
    }

    auto appendNames = [&body](const std::vector<crw::NamedFlag>& rows) {
        bool any = false;
        for (const auto& row : rows) {
            if (!row.enabled) {
                continue;
            }
            if (any) {
                body += ",";
            }
            body += "\"" + jsonEscape(row.name) + "\"";
            any = true;
        }
        if (!any) {
            body += "\"Any\"";
        }
    };

    body += "], \"Regions\":[";
    appendNames(settings.regions);
    body += "], \"Languages\":[";
    appendNames(settings.languages);
    body += "], \"VoiceChat\":\"";
    body += crw::voiceChatText(settings.voiceChat);
    body += "\"}";
    return body;
}

void CRW::RequestInvite(crw::Searcher& searcher)
{
    using crw::jsonEscape;
    CurlRequest request;
    {
        std::lock_guard<std::recursive_mutex> lock(stateMutex);
        const std::string name = gameWrapper->GetPlayerName().ToString();
        const std::string id = gameWrapper->GetUniqueID().GetIdString();
        request.url = serverUrl + "/RequestInvite";
        // The two objects differ in spacing; the server takes both as they are.
        request.body = "{\"Searcher\":{\"Name\":\"" + jsonEscape(searcher.creatorName) + "\", \"IdString\":\"" +
                       jsonEscape(searcher.creatorIdString) + "\"}, \"User\":{\"Name\":\"" + jsonEscape(name) +
                       "\",\"IdString\":\"" + jsonEscape(id) + "\"}}";
        crw::LOG("Request invite body : {}", request.body);
    }
    HttpWrapper::SendCurlJsonRequest(std::move(request),
                                     [this](int code, std::string result) { OnInviteResult(code, std::move(result)); });
}

void CRW::OnInviteResult(int code, std::string result)
{
    std::lock_guard<std::recursive_mutex> lock(stateMutex);
    crw::LOG("Request invite response :");
    if (code == 200) {
        crw::LOG("code : {} | Json result : {}", code, crw::logPayload(result));
        requestInvitePopup.message = crw::popupText(result);
    } else if (code == 402) {
        // The server's own refusal: shown as it is, even when it names the address.
        requestInvitePopup.message = errorText(code, crw::popupText(result));
    } else {
        requestInvitePopup.message = errorText(code, crw::popupText(reportedText(result)));
    }
    requestInvitePopup.open = true;
}
