// The files of a read that are members of a zip file on this machine: the
// reader reads each where it lies (see archive/zip_member.h), so nothing is
// fetched or held here but where they are.
#pragma once

#include <cerrno>
#include <string>
#include <unordered_map>
#include <utility>

#include "archive/byte_source.h"
#include "archive/read_errors.h"
#include "archive/zip_member.h"

namespace zentrail {

class ZipMembers : public ByteSource {
public:
    explicit ZipMembers(std::unordered_map<std::string, ZipMember> members) : members(std::move(members)) {}

    const ZipMember* member_of(const std::string& name) const override {
        auto found = members.find(name);
        return found == members.end() ? nullptr : &found->second;
    }
    // A name the zip file does not list: as a missing file.
    std::shared_ptr<const FileBytes> take(const std::string& name, ReadMonitor*) override {
        throw FileOpenError(name, ENOENT);
    }
    int64_t size_of(const std::string& name) const override {
        const ZipMember* member = member_of(name);
        return member == nullptr ? 0 : member->size;
    }

private:
    std::unordered_map<std::string, ZipMember> members;
};

}  // namespace zentrail
