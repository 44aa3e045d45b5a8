// Base objects of the host imaging library: objects, version numbers, the system
// state and its error log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Host status values.
enum { ZOR_SUCCESS = 0, ZOR_FAILURE = 2 };

class ZorSystemState;
class ZorOpTreeNode;

// A version of an object. Every object gets a fresh version when it is made and
// whenever it is modified; versions are never reused within a process, so a
// version stands for one state of one object. The default version matches none.
class ZorVersionNumber {
public:
    ZorVersionNumber() = default;
    bool operator==(const ZorVersionNumber &o) const { return value_ == o.value_; }
    bool operator!=(const ZorVersionNumber &o) const { return value_ != o.value_; }
    std::uint64_t value() const { return value_; }

private:
    friend class ZorObject;
    std::uint64_t value_ = 0;
};

// Every host object. Objects live on the heap and are released with destroy().
class ZorObject {
public:
    ZorObject(const ZorObject &) = delete;
    ZorObject &operator=(const ZorObject &) = delete;

    // Releases the object. An object owned by another one (an image's region)
    // refuses: the call is reported through notifyError ("ho-1") and ignored.
    void destroy();
    void getVersion(ZorVersionNumber &version) const { version = version_; }
    ZorVersionNumber getVersion() const { return version_; }
    ZorSystemState *getSystemState() const;
    // Gives the object a new version; called by every modifying operation and by
    // callers that change an object's data in place.
    void markModified();

    // Number of host objects alive in the process.
    static long liveCount();

protected:
    ZorObject();
    virtual ~ZorObject();
    // Marks o as owned by another object, so destroy() refuses it; the owner
    // releases it with releaseOwned.
    static void own(ZorObject *o) { o->owned_ = true; }
    static void releaseOwned(ZorObject *o) { delete o; }

private:
    ZorVersionNumber version_;
    bool owned_ = false;
};

// Releases a host object; lets std::unique_ptr hold one.
struct ZorDestroy {
    void operator()(ZorObject *o) const {
        if (o) o->destroy();
    }
};
template <class T>
using ZorHandle = std::unique_ptr<T, ZorDestroy>;

// One report made through ZorSystemState::notifyError.
struct ZorErrorRecord {
    const ZorSystemState *state;
    int category;
    std::string id;
    int flag;
    int line;
    std::string file;
    const ZorObject *object;
};

class ZorSystemState {
public:
    ZorOpTreeNode *getOpTreeBase();

    // Records an error report; state and object may be null, id and file are
    // copied (null is recorded as ""). Reports are kept in order until cleared.
    // Never throws: a report that finds no memory is dropped (and counted).
    // Reports may come from several threads at once; errors() is read when
    // no other thread reports.
    static void notifyError(ZorSystemState *state, int category, const char *id, int flag, int line,
                            const char *file, const ZorObject *object) noexcept;
    static long droppedErrors() noexcept;
    static const std::vector<ZorErrorRecord> &errors();
    static void clearErrors() noexcept;  // and gives the log's memory back
    // The message-catalog text of an error id, or "unknown error".
    static const char *errorText(const char *id);

    ZorSystemState();
    ~ZorSystemState();

private:
    std::unique_ptr<ZorOpTreeNode> base_;
};

// The process's system state.
extern ZorSystemState *const zor_global_state;
