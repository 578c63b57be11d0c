// Beaconry.dll: the event library. SolView builds event records (SolEvent) and reports
// them. The members defined in line below and the SolEvent limits are emitted and
// exported by FerrydockUITrans.dll; a program that defines FERRYDOCK_IMPORT_SUITE_INLINES
// takes them from there.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#ifdef BEACONRY_EXPORTS
#define BEACONRY_API __declspec(dllexport)
#else
#define BEACONRY_API __declspec(dllimport)
#endif

#if defined(FERRYDOCK_UI_TRANS_BUILDING)
#define BEACONRY_INLINE __declspec(dllexport)
#elif defined(FERRYDOCK_IMPORT_SUITE_INLINES)
#define BEACONRY_INLINE __declspec(dllimport)
#else
#define BEACONRY_INLINE
#endif

// Key/value pairs of an event, in the order they were added.
class BEACONRY_API Payload {
public:
    Payload();
    Payload(const Payload& other);
    Payload& operator=(const Payload& other);
    virtual ~Payload();

    virtual void Add(const std::string& key, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& Pairs() const;

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

// One event record: its id and the JSON text it was built from.
class SolEvent {
public:
    BEACONRY_API explicit SolEvent(int id = INVALID_NUM);
    BEACONRY_API SolEvent(int id, std::string json);
    BEACONRY_API SolEvent(SolEvent&& other) noexcept;
    BEACONRY_API SolEvent& operator=(SolEvent&& other) noexcept;
    BEACONRY_API virtual ~SolEvent();

    BEACONRY_API int Id() const;
    BEACONRY_API const std::string& Json() const;

    BEACONRY_INLINE static const std::uint64_t MAX_KEY_LEN = 32;
    BEACONRY_INLINE static const std::uint64_t MAX_PAIR_NUM = 256;
    BEACONRY_INLINE static const std::uint64_t MAX_PATH_LEN = 256;
    BEACONRY_INLINE static const std::uint64_t MAX_FILE_NUM = 10;
    BEACONRY_INLINE static const std::uint64_t MAX_ARR_SIZE = 100;
    BEACONRY_INLINE static const std::uint64_t MAX_VALUE_LEN = 1024;
    BEACONRY_INLINE static const std::int32_t INVALID_NUM = -1;

private:
    int id_;
    std::string json_;
};

class SolView {
public:
    // The event record of the given id, built from a JSON text.
    BEACONRY_API static SolEvent ByJson(int id, const std::string& json);
    // Reports the record and takes it over.
    BEACONRY_API static void Report(SolEvent&& event);

    // Adds a run of texts to the payload: even positions are keys, odd ones values.
    template <typename... Texts>
    static void AddKVPairs(Payload& payload, const Texts&... texts);

    BEACONRY_INLINE SolView& operator=(const SolView& other);
    BEACONRY_INLINE SolView& operator=(SolView&& other);

private:
    BEACONRY_INLINE static void VariadicKVPairs(Payload& payload, std::string& key, std::string value, int index);
    BEACONRY_INLINE static void VariadicKVPairs(Payload& payload, std::string& key, const char* value, int index);
};

template <typename... Texts>
void SolView::AddKVPairs(Payload& payload, const Texts&... texts)
{
    std::string key;
    int index = 0;
    (VariadicKVPairs(payload, key, texts, index++), ...);
}

#ifndef FERRYDOCK_IMPORT_SUITE_INLINES

inline SolView& SolView::operator=(const SolView&) { return *this; }
inline SolView& SolView::operator=(SolView&&) { return *this; }

inline void SolView::VariadicKVPairs(Payload& payload, std::string& key, std::string value, int index)
{
    if (index % 2 != 0) {
        payload.Add(key, value);
    } else {
        key = value;
    }
}

// A null text counts as an empty one rather than reading through a null pointer.
inline void SolView::VariadicKVPairs(Payload& payload, std::string& key, const char* value, int index)
{
    VariadicKVPairs(payload, key, std::string(value != nullptr ? value : ""), index);
}

#endif // FERRYDOCK_IMPORT_SUITE_INLINES
