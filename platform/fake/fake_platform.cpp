// The recording fake of the setup stub's platform.
#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ascii.h"
#include "profile_text.h"

struct platform::FindState {
    std::vector<platform::FindData> entries;
    std::size_t next = 0;
};

struct platform::FileState {
    std::string key;
    bool writing = false;
    std::size_t position = 0;
};

namespace platform {

namespace {

bool Matches(const std::string& name, const std::string& pattern)
{
    if (pattern == "*" || pattern == "*.*")
        return true;
    return UpperAscii(name) == UpperAscii(pattern);
}

}  // namespace

FakePlatform::FakePlatform(char separator) : separator_(separator)
{
    currentDirectory = separator == '\\' ? "C:\\" : "/";
}

FakePlatform::~FakePlatform() = default;

std::string FakePlatform::Absolute(const std::string& in) const
{
    std::string root;
    std::string rest;
    if (separator_ == '\\') {
        if (in.size() >= 2 && IsSep(in[0]) && IsSep(in[1])) {
            // \\server\share is the root of a network path.
            size_t server = in.find_first_of("\\/", 2);
            size_t share = server == std::string::npos ? std::string::npos : in.find_first_of("\\/", server + 1);
            root = in.substr(0, share);
            rest = share == std::string::npos ? "" : in.substr(share);
        } else if (in.size() >= 2 && in[1] == ':') {
            root = in.substr(0, 2);
            rest = in.substr(2);
            if (rest.empty() || !IsSep(rest[0])) {
                // Drive-relative: from the current directory when it is on that drive.
                std::string cwd = currentDirectory;
                if (cwd.size() >= 2 && UpperAscii(cwd.substr(0, 2)) == UpperAscii(root))
                    rest = cwd.substr(2) + "\\" + rest;
                else
                    rest = "\\" + rest;
            }
        } else if (!in.empty() && IsSep(in[0])) {
            root = currentDirectory.size() >= 2 && currentDirectory[1] == ':' ? currentDirectory.substr(0, 2) : "C:";
            rest = in;
        } else {
            std::string cwd = currentDirectory.empty() ? "C:\\" : currentDirectory;
            return Absolute(cwd + "\\" + in);
        }
    } else {
        rest = !in.empty() && in[0] == '/' ? in : currentDirectory + "/" + in;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t end = pos;
        while (end < rest.size() && !IsSep(rest[end]))
            ++end;
        std::string part = rest.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string out = root;
    for (const std::string& part : parts)
        out += std::string(1, separator_) + part;
    return out;
}

std::string FakePlatform::Key(const std::string& absolute) { return UpperAscii(absolute); }

bool FakePlatform::IsRoot(const std::string& absolute) const
{
    if (separator_ != '\\')
        return absolute.empty();
    if (absolute.size() == 2 && absolute[1] == ':')
        return true;
    return absolute.size() > 2 && IsSep(absolute[0]) && IsSep(absolute[1]) &&
           std::count(absolute.begin() + 2, absolute.end(), '\\') <= 1;
}

std::string FakePlatform::ParentOf(const std::string& absolute) const
{
    if (IsRoot(absolute))
        return absolute;
    return absolute.substr(0, absolute.rfind(separator_));
}

std::string FakePlatform::NameOf(const std::string& absolute) const
{
    return absolute.substr(absolute.rfind(separator_) + 1);
}

FakePlatform::Node* FakePlatform::FindAbsolute(const std::string& absolute)
{
    auto it = nodes_.find(Key(absolute));
    return it == nodes_.end() ? nullptr : &it->second;
}

const FakePlatform::Node* FakePlatform::Find(const std::string& path) const
{
    auto it = nodes_.find(Key(Absolute(path)));
    return it == nodes_.end() ? nullptr : &it->second;
}

bool FakePlatform::DirectoryExists(const std::string& absolute) const
{
    if (IsRoot(absolute))
        return true;
    auto it = nodes_.find(Key(absolute));
    return it != nodes_.end() && it->second.directory;
}

void FakePlatform::AddDirectory(const std::string& path) { AddDirectoryAbsolute(Absolute(path)); }

void FakePlatform::AddDirectoryAbsolute(const std::string& absolute)
{
    if (IsRoot(absolute) || DirectoryExists(absolute))
        return;
    AddDirectoryAbsolute(ParentOf(absolute));
    Node node;
    node.name = NameOf(absolute);
    node.parent = Key(ParentOf(absolute));
    node.directory = true;
    node.attributes = kAttrDirectory;
    node.order = nextOrder_++;
    nodes_[Key(absolute)] = node;
}

void FakePlatform::AddFile(const std::string& path, const std::string& content, std::uint32_t attributes)
{
    AddFileAbsolute(Absolute(path), content, attributes);
}

void FakePlatform::AddFileAbsolute(const std::string& absolute, const std::string& content, std::uint32_t attributes)
{
    AddDirectoryAbsolute(ParentOf(absolute));
    Node node;
    node.name = NameOf(absolute);
    node.parent = Key(ParentOf(absolute));
    node.attributes = attributes;
    node.content = content;
    node.order = nextOrder_++;
    nodes_[Key(absolute)] = node;
}

void FakePlatform::Lock(const std::string& path)
{
    if (Node* node = FindAbsolute(Absolute(path)))
        node->locked = true;
}

bool FakePlatform::Exists(const std::string& path) const
{
    return DirectoryExists(Absolute(path)) || Find(path) != nullptr;
}

bool FakePlatform::IsDirectory(const std::string& path) const { return DirectoryExists(Absolute(path)); }

std::optional<std::string> FakePlatform::Content(const std::string& path) const
{
    const Node* node = Find(path);
    if (node == nullptr || node->directory)
        return std::nullopt;
    return node->content;
}

std::vector<std::string> FakePlatform::Entries(const std::string& directory) const
{
    std::string key = Key(Absolute(directory));
    std::vector<const Node*> children;
    for (const auto& [k, node] : nodes_)
        if (node.parent == key && k != key)
            children.push_back(&node);
    std::sort(children.begin(), children.end(), [](const Node* a, const Node* b) { return a->order < b->order; });
    std::vector<std::string> names;
    for (const Node* n : children)
        names.push_back(n->name);
    return names;
}

std::map<std::string, std::string> FakePlatform::Files() const
{
    std::map<std::string, std::string> files;
    for (const auto& [key, node] : nodes_)
        if (!node.directory)
            files[key] = node.content;
    return files;
}

int FakePlatform::Count(const std::string& operation) const
{
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.compare(0, operation.size(), operation) == 0 &&
               (c.size() == operation.size() || c[operation.size()] == ' ');
    }));
}

int FakePlatform::IndexOf(const std::string& prefix) const
{
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<int>(i);
    return -1;
}

unsigned FakePlatform::ModuleFileName(void*, char* buffer, unsigned size)
{
    Record("ModuleFileName");
    if (moduleFileName.empty() || size == 0)
        return 0;
    unsigned stored = profile::CopyOut(moduleFileName, buffer, size);
    return moduleFileName.size() > stored ? size : stored;
}

unsigned FakePlatform::GetCurrentDirectory(unsigned size, char* buffer)
{
    Record("GetCurrentDirectory");
    if (currentDirectory.empty())
        return 0;
    std::string cwd = currentDirectory;
    if (cwd.size() + 1 > size)
        return static_cast<unsigned>(cwd.size() + 1);
    std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return static_cast<unsigned>(cwd.size());
}

bool FakePlatform::SetCurrentDirectory(const char* path)
{
    Record(std::string("SetCurrentDirectory ") + path);
    std::string absolute = Absolute(path);
    if (!DirectoryExists(absolute))
        return false;
    currentDirectory = IsRoot(absolute) && separator_ == '\\' ? absolute + "\\" : (absolute.empty() ? "/" : absolute);
    return true;
}

unsigned FakePlatform::GetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                                        unsigned size, const char* file)
{
    Record(std::string("GetProfileString ") + section + " " + key + " " + file);
    if (Fails())
        return profile::GetString(std::nullopt, section, key, defaultValue, buffer, size);
    return profile::GetString(Content(file), section, key, defaultValue, buffer, size);
}

bool FakePlatform::WriteProfileString(const char* section, const char* key, const char* value, const char* file)
{
    Record(std::string("WriteProfileString ") + section + " " + key + " " + value + " " + file);
    if (Fails())
        return false;
    std::string absolute = Absolute(file);
    Node* node = FindAbsolute(absolute);
    if (node == nullptr) {
        if (!DirectoryExists(ParentOf(absolute)))
            return false;
        AddFileAbsolute(absolute, "", kAttrArchive);
        node = FindAbsolute(absolute);
    }
    if (node->directory || node->locked || (node->attributes & kAttrReadOnly))
        return false;
    node->content = profile::Set(node->content, section, key, value);
    return true;
}

long FakePlatform::QueryUserRegistryValue(const char* subKey, char* buffer, long* size)
{
    Record(std::string("QueryUserRegistryValue ") + subKey);
    if (!registryValue || std::string(subKey) != "Software\\Orvanto\\Quorvane\\Interface Language")
        return kErrorFileNotFound;
    long needed = static_cast<long>(registryValue->size()) + 1;
    if (needed > *size) {
        // As the platform does, the buffer holds what fitted: not a usable value.
        std::memcpy(buffer, registryValue->data(), static_cast<size_t>(*size));
        *size = needed;
        return kErrorMoreData;
    }
    std::memcpy(buffer, registryValue->c_str(), static_cast<size_t>(needed));
    *size = needed;
    return kErrorSuccess;
}

std::uint16_t FakePlatform::UserDefaultLangID()
{
    Record("UserDefaultLangID");
    return langId;
}

FindHandle FakePlatform::FindFirst(const char* pattern, FindData* data)
{
    Record(std::string("FindFirst ") + pattern);
    if (Fails())
        return nullptr;
    std::string full = Absolute(pattern);
    std::string directory = ParentOf(full);
    std::string name = NameOf(full);
    if (!DirectoryExists(directory))
        return nullptr;
    auto* find = new FindState;
    auto add = [&](const std::string& entry, std::uint32_t attributes) {
        FindData d;
        d.attributes = attributes;
        entry.copy(d.name, sizeof d.name - 1);
        find->entries.push_back(d);
    };
    if (!IsRoot(directory)) {
        add(".", kAttrDirectory);
        add("..", kAttrDirectory);
    }
    std::string key = Key(directory);
    std::vector<const Node*> children;
    for (const auto& [k, node] : nodes_)
        if (node.parent == key && k != key)
            children.push_back(&node);
    std::sort(children.begin(), children.end(), [](const Node* a, const Node* b) { return a->order < b->order; });
    for (const Node* child : children)
        if (Matches(child->name, name))
            add(child->name, child->attributes);
    find->entries.erase(std::remove_if(find->entries.begin(), find->entries.end(),
                                       [&](const FindData& d) { return !Matches(d.name, name); }),
                        find->entries.end());
    if (find->entries.empty()) {
        delete find;
        return nullptr;
    }
    *data = find->entries[0];
    find->next = 1;
    return find;
}

bool FakePlatform::FindNext(FindHandle find, FindData* data)
{
    Record("FindNext");
    if (Fails())
        return false;
    if (find == nullptr || find->next >= find->entries.size())
        return false;
    *data = find->entries[find->next++];
    return true;
}

void FakePlatform::FindClose(FindHandle find)
{
    Record("FindClose");
    delete find;
}

FileHandle FakePlatform::OpenRead(const char* path)
{
    Record(std::string("OpenRead ") + path);
    if (Fails())
        return nullptr;
    Node* node = FindAbsolute(Absolute(path));
    if (node == nullptr || node->directory || node->locked)
        return nullptr;
    ++openFiles;
    return new FileState{Key(Absolute(path)), false, 0};
}

FileHandle FakePlatform::CreateWrite(const char* path)
{
    Record(std::string("CreateWrite ") + path);
    if (Fails())
        return nullptr;
    std::string absolute = Absolute(path);
    Node* node = FindAbsolute(absolute);
    if (node == nullptr) {
        if (!DirectoryExists(ParentOf(absolute)))
            return nullptr;
        AddFileAbsolute(absolute, "", kAttrArchive);
        node = FindAbsolute(absolute);
    } else if (node->directory || node->locked || (node->attributes & kAttrReadOnly)) {
        return nullptr;
    }
    node->content.clear();
    ++openFiles;
    return new FileState{Key(absolute), true, 0};
}

long FakePlatform::Read(FileHandle file, void* buffer, unsigned long count)
{
    Record("Read");
    if (Fails())
        return -1;
    auto it = nodes_.find(file->key);
    if (it == nodes_.end() || file->writing)
        return -1;
    const std::string& content = it->second.content;
    for (const auto& [path, limit] : readFailsAfter)
        if (Key(Absolute(path)) == file->key && file->position >= limit)
            return -1;
    size_t n = std::min<size_t>(count, content.size() - std::min(file->position, content.size()));
    std::memcpy(buffer, content.data() + file->position, n);
    file->position += n;
    return static_cast<long>(n);
}

long FakePlatform::Write(FileHandle file, const void* buffer, unsigned long count)
{
    Record("Write");
    if (Fails())
        return -1;
    auto it = nodes_.find(file->key);
    if (it == nodes_.end() || !file->writing)
        return -1;
    size_t n = count;
    if (diskSpace) {
        n = std::min<size_t>(n, *diskSpace);
        *diskSpace -= n;
    }
    it->second.content.append(static_cast<const char*>(buffer), n);
    return static_cast<long>(n);
}

bool FakePlatform::Close(FileHandle file)
{
    Record("Close");
    if (file == nullptr)
        return false;
    --openFiles;
    delete file;
    return !Fails();
}

void* FakePlatform::Allocate(std::size_t bytes)
{
    Record("Allocate " + std::to_string(bytes));
    if (allowAllocation && !allowAllocation(bytes))
        return nullptr;
    ++liveAllocations;
    return std::malloc(bytes);
}

void FakePlatform::Free(void* block)
{
    Record("Free");
    if (block != nullptr)
        --liveAllocations;
    std::free(block);
}

bool FakePlatform::Rename(const char* from, const char* to)
{
    Record(std::string("Rename ") + from + " " + to);
    if (Fails())
        return false;
    std::string source = Absolute(from);
    std::string target = Absolute(to);
    Node* node = FindAbsolute(source);
    if (node == nullptr || node->locked || !DirectoryExists(ParentOf(target)))
        return false;
    if (FindAbsolute(target) != nullptr && Key(source) != Key(target))
        return false;
    Node moved = *node;
    nodes_.erase(Key(source));
    moved.name = NameOf(target);
    moved.parent = Key(ParentOf(target));
    nodes_[Key(target)] = moved;
    return true;
}

bool FakePlatform::DeleteFile(const char* path)
{
    Record(std::string("DeleteFile ") + path);
    if (Fails())
        return false;
    std::string absolute = Absolute(path);
    Node* node = FindAbsolute(absolute);
    if (node == nullptr || node->directory || node->locked || (node->attributes & kAttrReadOnly))
        return false;
    nodes_.erase(Key(absolute));
    return true;
}

long FakePlatform::RemoveDirectory(const char* path)
{
    Record(std::string("RemoveDirectory ") + path);
    if (Fails())
        return kErrorAccessDenied;
    std::string absolute = Absolute(path);
    Node* node = FindAbsolute(absolute);
    if (node == nullptr)
        return DirectoryExists(ParentOf(absolute)) ? kErrorFileNotFound : kErrorPathNotFound;
    if (!node->directory)
        return kErrorPathNotFound;
    if (Key(absolute) == Key(Absolute(currentDirectory)))
        return kErrorSharingViolation;
    if (!Entries(absolute).empty())
        return kErrorDirNotEmpty;
    nodes_.erase(Key(absolute));
    return kErrorSuccess;
}

unsigned FakePlatform::StartProgram(const char* commandLine, int show)
{
    Record(std::string("StartProgram ") + commandLine);
    started.push_back(Start{commandLine, show, currentDirectory});
    return startResult;
}

int FakePlatform::MessageBox(const char* text, const char* caption, unsigned flags)
{
    Record(std::string("MessageBox ") + caption + "|" + text);
    messageBoxes.push_back(Box{text, caption, flags});
    return 1;
}

}  // namespace platform
