#include "certcenter/center_state.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "foundation/files.h"
#include "foundation/textconv.h"

namespace qm::certcenter {
namespace {

Json::Value NamesToJson(const std::vector<std::string>& names) {
    Json::Value array(Json::arrayValue);
    for (const auto& name : names)
        array.append(name);
    return array;
}

std::vector<std::string> NamesFromJson(const Json::Value& array) {
    std::vector<std::string> names;
    if (array.isArray())
        for (const auto& name : array)
            names.push_back(name.asString());
    return names;
}

std::string Text(const Json::Value& object, const char* member) {
    const Json::Value& value = object[member];
    if (!value.isString())
        throw std::runtime_error(std::string("member \"") + member + "\" is not a text");
    return value.asString();
}

int64_t Number(const Json::Value& object, const char* member) {
    const Json::Value& value = object[member];
    if (!value.isIntegral())
        throw std::runtime_error(std::string("member \"") + member + "\" is not a number");
    return value.asInt64();
}

Json::Value ReadJsonFile(const std::u16string& path) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes))
        throw std::runtime_error("cannot read " + Utf8FromWide(path));
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &errors) ||
        !root.isObject())
        throw std::runtime_error(Utf8FromWide(path) + " is not a JSON object: " + errors);
    return root;
}

}  // namespace

bool IsWellFormedToken(const std::string& token) {
    if (token.size() != 32)
        return false;
    for (const char c : token)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

CenterState::CenterState(std::string stateDir) : stateDir_(std::move(stateDir)) {
    const std::u16string path = FilePath();
    if (!FileExists(path))
        return;
    const Json::Value root = ReadJsonFile(path);
    try {
        for (const auto& item : root["sessions"]) {
            Session session;
            session.id = Text(item, "id");
            session.nonce = Text(item, "nonce");
            session.names = NamesFromJson(item["names"]);
            session.publicKeyId = Text(item, "publicKeyId");
            session.created = Number(item, "created");
            // Files written before authorizations expired lack the time.
            session.authorized =
                item.isMember("authorized") ? Number(item, "authorized") : session.created;
            sessions_.push_back(std::move(session));
        }
        for (const auto& item : root["requests"]) {
            DeferredRequest request;
            request.token = Text(item, "token");
            request.publicKeyId = Text(item, "publicKeyId");
            request.csr = Text(item, "csr");
            request.names = NamesFromJson(item["names"]);
            request.templateId = static_cast<unsigned>(Number(item, "templateID"));
            request.polls = static_cast<int>(Number(item, "polls"));
            request.certificate = Text(item, "certificate");
            request.created = Number(item, "created");
            request.authorized =
                item.isMember("authorized") ? Number(item, "authorized") : request.created;
            requests_.push_back(std::move(request));
        }
    } catch (const std::exception& e) {
        // Json::Value throws for members of values that are not objects.
        throw std::runtime_error(Utf8FromWide(path) + " is damaged: " + e.what());
    }
}

void CenterState::RemoveStaleTemporaries(const std::string& stateDir) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(FsPath(WideFromUtf8(stateDir)), error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".") && name.find(".tmp-") != std::string::npos &&
            entry.is_regular_file(error))
            std::filesystem::remove(entry.path(), error);
    }
}

std::u16string CenterState::FilePath() const {
    return WideFromUtf8(stateDir_) + u"/center.json";
}

Session& CenterState::AddSession(Session session) {
    if (sessions_.size() >= kMaxSessions)
        sessions_.pop_front();
    sessions_.push_back(std::move(session));
    return sessions_.back();
}

Session* CenterState::FindSession(const std::string& id) {
    for (auto& session : sessions_)
        if (session.id == id)
            return &session;
    return nullptr;
}

Session* CenterState::FindAuthorizedSession(const std::string& publicKeyId) {
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it)
        if (!it->publicKeyId.empty() && it->publicKeyId == publicKeyId)
            return &*it;
    return nullptr;
}

DeferredRequest& CenterState::AddRequest(DeferredRequest request) {
    if (requests_.size() >= kMaxRequests)
        requests_.pop_front();
    requests_.push_back(std::move(request));
    return requests_.back();
}

DeferredRequest* CenterState::FindRequest(const std::string& token) {
    for (auto& request : requests_)
        if (request.token == token)
            return &request;
    return nullptr;
}

bool CenterState::IsApproved(const std::string& token) const {
    return IsWellFormedToken(token) && FileExists(WideFromUtf8(stateDir_ + "/approved/" + token));
}

bool CenterState::Prune(int64_t now, const Lifetimes& lifetimes) {
    const auto sessionsBefore = sessions_.size();
    std::erase_if(sessions_, [&](const Session& session) {
        return session.publicKeyId.empty() ? now > session.created + lifetimes.challenge
                                           : now > session.authorized + lifetimes.authorization;
    });
    bool forgot = sessions_.size() != sessionsBefore;
    for (auto it = requests_.begin(); it != requests_.end();) {
        if (now > it->authorized + lifetimes.authorization) {
            if (IsWellFormedToken(it->token))
                DeleteFileToRecycleBin(WideFromUtf8(stateDir_ + "/approved/" + it->token));
            it = requests_.erase(it);
            forgot = true;
        } else {
            ++it;
        }
    }
    return forgot;
}

void CenterState::Save() const {
    Json::Value root(Json::objectValue);
    Json::Value& sessions = root["sessions"] = Json::Value(Json::arrayValue);
    for (const auto& session : sessions_) {
        Json::Value item(Json::objectValue);
        item["id"] = session.id;
        item["nonce"] = session.nonce;
        item["names"] = NamesToJson(session.names);
        item["publicKeyId"] = session.publicKeyId;
        item["created"] = Json::Int64(session.created);
        item["authorized"] = Json::Int64(session.authorized);
        sessions.append(item);
    }
    Json::Value& requests = root["requests"] = Json::Value(Json::arrayValue);
    for (const auto& request : requests_) {
        Json::Value item(Json::objectValue);
        item["token"] = request.token;
        item["publicKeyId"] = request.publicKeyId;
        item["csr"] = request.csr;
        item["names"] = NamesToJson(request.names);
        item["templateID"] = Json::UInt(request.templateId);
        item["polls"] = request.polls;
        item["certificate"] = request.certificate;
        item["created"] = Json::Int64(request.created);
        item["authorized"] = Json::Int64(request.authorized);
        requests.append(item);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    if (!WriteFileAtomic(FilePath(), Json::writeString(builder, root) + "\n",
                         FilePrivacy::OwnerOnly))
        throw std::runtime_error("cannot write " + Utf8FromWide(FilePath()));
}

void CenterState::Approve(const std::string& stateDir, const std::string& token) {
    if (!IsWellFormedToken(token))
        throw std::runtime_error("\"" + token + "\" is not a request token (32 hex digits)");
    CenterState state(stateDir);
    const DeferredRequest* request = state.FindRequest(token);
    if (!request)
        throw std::runtime_error("the center in " + stateDir + " has no deferred request " + token);
    const std::u16string folder = WideFromUtf8(stateDir + "/approved");
    if (!MakeDirectoryTree(folder) || !WriteFileAtomic(folder + u"/" + WideFromUtf8(token), ""))
        throw std::runtime_error("cannot write the approval into " + stateDir + "/approved");
}

}  // namespace qm::certcenter
