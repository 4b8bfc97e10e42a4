/*
 * The streaming image reader: it loads a well-formed image as it is read,
 * a chunk of the file at a time, without ever holding the whole image as
 * a document. The top level is scanned here; each element of "objects" is
 * read by the plain reader when it has the usual shape, or else parsed by
 * RapidJSON into a small document that is used again for the next. Either
 * way the object is loaded by the same code as in the whole-document
 * reader, which gets every image this one gives up on.
 */
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <rapidjson/reader.h>

#include "image_load_parts.h"

namespace image_loading
{
namespace
{

using rapidjson::Value;

/* The text of an image, read from its file a chunk at a time into one
 * buffer that grows only when a single value does not fit: a large image
 * then needs a buffer of one chunk instead of one the size of the file. A
 * text already in memory is one chunk that is complete. The text in the
 * buffer is always followed by a NUL, and may be parsed in place: what is
 * kept across a refill is read from the file again. */
class text_chunks
{
  public:
    /* The open file FD, from offset START on, CHUNK bytes at a time. */
    text_chunks(int fd, size_t chunk, size_t start = 0)
        : fd_(fd), chunk_(chunk ? chunk : 1), offset_(start)
    {
    }
    /* SIZE bytes at TEXT, followed by a NUL and text_padding more bytes. */
    text_chunks(char *text, size_t size) : text_(text), size_(size), complete_(true) {}

    char *data() const { return text_; }
    size_t size() const { return size_; }
    /* True when the buffer reaches the end of the text. */
    bool complete() const { return complete_; }
    /* True when the file could not be read. */
    bool failed() const { return failed_; }
    /* The place in the file of the buffer's first byte. */
    size_t offset() const { return offset_; }

    /* Goes on from offset TO of the file; POS becomes 0, and the buffer
     * is read again on the next call of more. */
    void seek(size_t &pos, size_t to)
    {
        offset_ = to;
        size_ = 0;
        pos = 0;
        complete_ = false;
        text_[0] = '\0';
    }

    /* Drops the text before POS, which becomes 0, and reads the text from
     * there on as far as the buffer takes it, at least a chunk more than
     * before. False when there is no more text. */
    bool more(size_t &pos)
    {
        if (complete_)
            return false;
        size_t keep = size_ - pos;
        if (keep + chunk_ + 1 > capacity_) {
            // Room for a chunk besides what is kept, twice over: the
            // buffer then grows only for a value longer than a chunk.
            capacity_ = std::max(2 * capacity_, 2 * (keep + chunk_) + 1);
            own_.reset(new char[capacity_ + text_padding]);
            text_ = own_.get();
        }
        offset_ += pos;
        pos = 0;
        size_ = 0;
        while (size_ < capacity_ - 1) {
            ssize_t r = pread(fd_, text_ + size_, capacity_ - 1 - size_, off_t(offset_ + size_));
            if (r < 0 && errno == EINTR)
                continue;
            failed_ = r < 0;
            if (r <= 0) {
                complete_ = true;
                break;
            }
            size_ += size_t(r);
        }
        std::memset(text_ + size_, 0, 1 + text_padding);
        return size_ > keep;
    }

  private:
    int fd_ = -1;
    size_t chunk_ = 0;
    size_t offset_ = 0;
    std::unique_ptr<char[]> own_;
    size_t capacity_ = 0;
    char empty_[1 + text_padding] = {};
    char *text_ = empty_;
    size_t size_ = 0;
    bool complete_ = false;
    bool failed_ = false;
};

/* The first byte at or after P that ends a plain string: '"', '\\' or a
 * control byte (the NUL after the text is one). */
inline char *plain_string_end(char *p)
{
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                  control = _mm_set1_epi8(0x1f);
    for (;; p += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                         _mm_cmpeq_epi8(_mm_min_epu8(x, control), x));
        if (int mask = _mm_movemask_epi8(hit))
            return p + __builtin_ctz(unsigned(mask));
    }
#else
    while (*p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20)
        p++;
    return p;
#endif
}

/* Reads an element of "objects" in the shape nearly every image gives it,
 * several times faster than the general parser: an object whose keys are
 * plain strings and whose values are plain strings, integers, true, false,
 * null or flat arrays of those. A plain string holds no escape and no
 * control byte; an integer has at most 18 digits, no leading zero and no
 * fraction or exponent. It builds the document the general parser would,
 * with the strings left in the text and terminated there once the whole
 * object has been read. Any other shape, or an object cut off by the end
 * of the text, is declined and the text left as it was. */
class plain_reader
{
  public:
    explicit plain_reader(rapidjson::MemoryPoolAllocator<> &pool) : pool_(pool) {}

    /* Reads the object at P into OUT and points *STOP just past it. */
    bool read(char *p, Value &out, char **stop)
    {
        nmembers_ = 0;
        nends_ = 0;
        if (*p != '{')
            return false;
        p++;
        auto member_at = [this](char *&q) {
            if (nmembers_ == max_members)
                return false;
            member &m = members_[nmembers_++];
            if (!string(q, m.key))
                return false;
            q = skip(q);
            if (*q != ':')
                return false;
            q = skip(q + 1);
            return *q == '[' ? array(q, m.value) : scalar(q, m.value);
        };
        if (!items(p, '}', member_at))
            return false;
        for (size_t i = 0; i < nends_; i++)
            *ends_[i] = '\0';
        out.SetObject();
        for (size_t i = 0; i < nmembers_; i++)
            out.AddMember(members_[i].key, members_[i].value, pool_);
        *stop = p + 1;
        return true;
    }

  private:
    static constexpr size_t max_members = 32, max_elements = 64, max_strings = 128;

    static char *skip(char *p)
    {
        while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')
            p++;
        return p;
    }

    /* Reads the items of a list with ITEM, which reads one at P and moves
     * P past it: P starts just past the opening bracket and ends on CLOSE.
     * Inlined, as it runs for every member of every object. */
    template <typename Item>
    [[gnu::always_inline]] static bool items(char *&p, char close, Item item)
    {
        p = skip(p);
        if (*p == close)
            return true;
        for (;;) {
            if (!item(p))
                return false;
            p = skip(p);
            if (*p == close)
                return true;
            if (*p != ',')
                return false;
            p = skip(p + 1);
        }
    }

    bool string(char *&p, Value &v)
    {
        if (*p != '"' || nends_ == max_strings)
            return false;
        char *s = ++p;
        p = plain_string_end(p);
        if (*p != '"')
            return false;
        ends_[nends_++] = p;
        v.SetString(rapidjson::StringRef(s, rapidjson::SizeType(p - s)));
        p++;
        return true;
    }

    bool integer(char *&p, Value &v)
    {
        bool minus = *p == '-';
        char *d = p + minus;
        if (*d < '0' || *d > '9' || (*d == '0' && (minus || (d[1] >= '0' && d[1] <= '9'))))
            return false;
        uint64_t n = 0;
        char *e = d;
        for (; *e >= '0' && *e <= '9'; e++) {
            if (e - d == 18)
                return false;
            n = n * 10 + uint64_t(*e - '0');
        }
        if (*e == '.' || *e == 'e' || *e == 'E')
            return false;
        if (minus)
            v.SetInt64(-int64_t(n));
        else
            v.SetUint64(n);
        p = e;
        return true;
    }

    bool word(char *&p, const char *w, size_t len)
    {
        if (std::strncmp(p, w, len) != 0)
            return false;
        p += len;
        return true;
    }

    bool scalar(char *&p, Value &v)
    {
        switch (*p) {
        case '"':
            return string(p, v);
        case 't':
            v.SetBool(true);
            return word(p, "true", 4);
        case 'f':
            v.SetBool(false);
            return word(p, "false", 5);
        case 'n':
            v.SetNull();
            return word(p, "null", 4);
        default:
            return integer(p, v);
        }
    }

    bool array(char *&p, Value &v)
    {
        size_t n = 0;
        p++;
        if (!items(p, ']',
                   [this, &n](char *&q) { return n < max_elements && scalar(q, elements_[n++]); }))
            return false;
        p++;
        v.SetArray();
        v.Reserve(rapidjson::SizeType(n), pool_);
        for (size_t i = 0; i < n; i++)
            v.PushBack(elements_[i], pool_);
        return true;
    }

    struct member {
        Value key, value;
    };
    rapidjson::MemoryPoolAllocator<> &pool_;
    member members_[max_members];
    Value elements_[max_elements];
    char *ends_[max_strings];
    size_t nmembers_ = 0, nends_ = 0;
};

/* Loads an image as it is read: the top level is scanned here and each
 * member and each element of "objects" is parsed into a small document
 * that is used again for the next, so the whole image is never held as a
 * document. It takes only well-formed images whose every object loads;
 * on anything else it gives up, and the whole-document loader, which
 * reports errors with their place, loads the image instead. */
class second_half;

class streaming_loader
{
  public:
    /* Reads TEXT into L. A second reader HELPER, when there is one, loads
     * the elements of "objects" from HELPER_START on meanwhile; STOP, when
     * given, makes this reader give up as soon as it is set. */
    streaming_loader(text_chunks &text, loader &l, second_half *helper = nullptr,
                     size_t helper_start = 0, const std::atomic<bool> *stop = nullptr)
        : text_(text), l_(l), helper_(helper), helper_start_(helper_start), stop_(stop),
          pool_(pool_buffer_, sizeof pool_buffer_), doc_(&pool_)
    {
    }

    /* Loads the elements of "objects" from the one at the start of the
     * text on, and sets END to the place in the file just past the ']'
     * that closes the array. */
    bool run_elements(size_t &end)
    {
        if (next() != '{' || !load_elements(0))
            return false;
        end = text_.offset() + pos_;
        return true;
    }

    bool run()
    {
        if (next() != '{')
            return false;
        pos_++;
        bool objects = false, closed;
        for (;;) {
            if (next() != '"' || !value(1))
                return false;
            std::string key(doc_.GetString(), doc_.GetStringLength());
            if (key.size() != std::strlen(key.c_str()) || next() != ':')
                return false;
            pos_++;
            if (key == "objects") {
                if (objects || !load_objects())
                    return false;
                objects = true;
            } else if (!value(1) || !load_top_member(l_, key.c_str(), doc_)) {
                return false;
            }
            if (!after_item('}', closed))
                return false;
            if (closed)
                return objects && next() == '\0';
        }
    }

  private:
    /* Takes the ',' or the CLOSE that must follow a member or an element,
     * and sets CLOSED when it is CLOSE. */
    bool after_item(char close, bool &closed)
    {
        char c = next();
        if (c != ',' && c != close)
            return false;
        pos_++;
        closed = c == close;
        return true;
    }

    /* The next byte that is not white space, reading on as needed; NUL at
     * the end of the text. */
    char next()
    {
        for (;;) {
            if (pos_ < text_.size()) {
                rapidjson::InsituStringStream in(text_.data() + pos_);
                rapidjson::SkipWhitespace(in);
                pos_ = size_t(in.src_ - text_.data());
            }
            if (pos_ < text_.size() || !text_.more(pos_))
                return pos_ < text_.size() ? text_.data()[pos_] : '\0';
        }
    }

    /* Parses the value at pos_ into doc_, inside DEPTH open arrays and
     * objects. A value counts only when the text goes on after it or is
     * complete: a number cut off at the end of a chunk would parse. */
    bool value(unsigned depth)
    {
        for (;;) {
            rapidjson::InsituStringStream in(text_.data() + pos_);
            rapidjson::ParseResult result;
            auto events = [&](rapidjson::Document &d) {
                nesting_guard guard{d, depth};
                constexpr unsigned flags =
                    rapidjson::kParseInsituFlag | rapidjson::kParseStopWhenDoneFlag;
                result = reader_.Parse<flags>(in, guard);
                return !result.IsError();
            };
            pool_.Clear();
            doc_.Populate(events);
            size_t stop = size_t(in.src_ - text_.data());
            if (!result.IsError() && (stop < text_.size() || text_.complete())) {
                pos_ = stop;
                return true;
            }
            if (!text_.more(pos_))
                return false;
        }
    }

    bool load_objects()
    {
        if (next() != '[')
            return false;
        pos_++;
        if (next() == ']') {
            pos_++;
            return true;
        }
        return load_elements(0);
    }

    /* Loads the elements from pos_ on, the first being the INDEXth, and
     * the ']' after them. */
    bool load_elements(size_t index)
    {
        for (size_t i = index;; i++) {
            char *stop;
            char first = next();
            if (stop_ && stop_->load(std::memory_order_relaxed))
                return false;
            if (helper_ && text_.offset() + pos_ >= helper_start_)
                return meet_helper(i);
            pool_.Clear();
            if (first == '{' && plain_.read(text_.data() + pos_, plain_value_, &stop)) {
                pos_ = size_t(stop - text_.data());
                if (!load_object(l_, plain_value_, i))
                    return false;
            } else if (!value(2) || !load_object(l_, doc_, i)) {
                return false;
            }
            bool closed;
            if (!after_item(']', closed))
                return false;
            if (closed)
                return true;
        }
    }

    /* Takes what the second reader loaded when this one reached its start
     * as the start of an element, the INDEXth, and goes on after it;
     * otherwise stops it and reads on alone. */
    bool meet_helper(size_t index);

    text_chunks &text_;
    loader &l_;
    second_half *helper_;
    size_t helper_start_;
    const std::atomic<bool> *stop_;
    size_t pos_ = 0;
    // One object's document fits here; a larger one takes more chunks.
    char pool_buffer_[32768];
    rapidjson::MemoryPoolAllocator<> pool_;
    rapidjson::Document doc_;
    rapidjson::Reader reader_;
    plain_reader plain_{pool_};
    Value plain_value_;
};

/* The second reader of a large file: a thread that loads the elements of
 * "objects" from a guessed start in the second half of the file, the
 * first '{' after a ',' there, while the first reader gets that far. Its
 * work counts only if the first reader reaches that place as the start of
 * an element: then the guess was right, and the second reader read what
 * the first would have. */
class second_half
{
  public:
    second_half(const char *path, int fd, size_t start, size_t chunk, size_t size)
        : start_(start), err_(), l_{path, data_, err_}, text_(fd, chunk, start)
    {
        reserve_arenas(data_, size);
        data_.objects.reserve(size / 128);
        thread_ = std::thread([this] {
            streaming_loader reader(text_, l_, nullptr, 0, &stop_);
            ok_ = reader.run_elements(end_) && !text_.failed();
        });
    }
    second_half(const second_half &) = delete;
    second_half &operator=(const second_half &) = delete;
    ~second_half()
    {
        stop();
        finish();
    }

    size_t start() const { return start_; }
    /* Stops the reader. */
    void stop() { stop_ = true; }
    /* Waits for the reader; true when it loaded every element up to the
     * end of "objects", which ends at end(). */
    bool finish()
    {
        if (thread_.joinable())
            thread_.join();
        return ok_ && !stop_;
    }
    size_t end() const { return end_; }
    image_data &data() { return data_; }

    /* The start of the second reader for the file FD of SIZE bytes: the
     * first '{' that follows a ',' and white space in the 64 KiB from its
     * middle; 0 when there is none. */
    static size_t guess_start(int fd, size_t size)
    {
        char window[65536];
        size_t from = size / 2;
        ssize_t got = pread(fd, window, sizeof window, off_t(from));
        for (ssize_t i = 0; i < got; i++) {
            if (window[i] != ',')
                continue;
            ssize_t j = i + 1;
            while (j < got && (window[j] == ' ' || window[j] == '\n' || window[j] == '\r' ||
                               window[j] == '\t'))
                j++;
            if (j < got && window[j] == '{')
                return from + size_t(j);
        }
        return 0;
    }

  private:
    size_t start_;
    image_data data_;
    std::string err_;
    loader l_;
    text_chunks text_;
    std::atomic<bool> stop_{false};
    bool ok_ = false;
    size_t end_ = 0;
    std::thread thread_;
};

bool streaming_loader::meet_helper(size_t index)
{
    second_half &h = *helper_;
    helper_ = nullptr;
    if (text_.offset() + pos_ != h.start()) {
        h.stop();
        h.finish();
        return load_elements(index);
    }
    if (!h.finish())
        return load_elements(index);
    // The second reader's objects point into its own arenas: append those
    // and move the objects' offsets along.
    image_data &d = l_.d, &two = h.data();
    uint32_t strings = uint32_t(d.strings.size()), values = uint32_t(d.values.size()),
             oids = uint32_t(d.oids.size());
    d.strings += two.strings;
    d.values.insert(d.values.end(), two.values.begin(), two.values.end());
    d.oids.insert(d.oids.end(), two.oids.begin(), two.oids.end());
    for (mib_object o : two.objects) {
        o.name += strings;
        o.last += strings;
        o.format += strings;
        if (o.description != NONE)
            o.description += strings;
        if (o.label != NONE)
            o.label += strings;
        o.value += values;
        o.oid += oids;
        d.objects.push_back(o);
    }
    text_.seek(pos_, h.end());
    return true;
}

/* Loads TEXT, of about SIZE bytes, as it is read, with the second reader
 * HELPER when there is one. */
bool load_streaming(const char *path, text_chunks &text, size_t size, image_data &out,
                    second_half *helper = nullptr)
{
    out = image_data{};
    reserve_arenas(out, size);
    out.objects.reserve(size / 128);
    std::string err;
    loader l{path, out, err};
    auto streaming =
        std::make_unique<streaming_loader>(text, l, helper, helper ? helper->start() : 0);
    return streaming->run() && !text.failed() && finish(l);
}

} // namespace

bool load_streaming_file(const char *path, int fd, size_t size, size_t chunk, size_t parallel,
                         image_data &out)
{
    text_chunks chunks(fd, chunk);
    std::unique_ptr<second_half> helper;
    if (size >= parallel) {
        if (size_t start = second_half::guess_start(fd, size)) {
            try {
                helper = std::make_unique<second_half>(path, fd, start, chunk, size / 2);
            } catch (const std::exception &) {
                // No thread or no memory for its arenas: one reader does
                // it all.
            }
        }
    }
    return load_streaming(path, chunks, size, out, helper.get());
}

bool load_streaming_text(const char *path, char *text, size_t size, image_data &out)
{
    text_chunks whole(text, size);
    return load_streaming(path, whole, size, out);
}

} // namespace image_loading
