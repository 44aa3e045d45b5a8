// Chains from the path table's parameter descriptions.
#include "chain.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace tool {

namespace {

// Kinds of pointer parameters the tool fills from numbers.
bool per_band_kind(const std::string &kind) { return kind == "floats" || kind == "ints" || kind == "values"; }

bool buildable(const ParamItem &p) {
    switch (p.slot) {
    case ParamItem::Slot::src:
    case ParamItem::Slot::long_:
    case ParamItem::Slot::float_: return true;
    case ParamItem::Slot::ptr: return per_band_kind(p.kind) || p.kind == "matrix";
    case ParamItem::Slot::obj: return p.kind == "lookup" || p.kind == "itable" || p.kind == "kernel";
    }
    return false;
}

// What the numbers of an item are, for takes() and messages.
const char *numbers_word(const ParamItem &p) {
    if (p.kind == "angle") return "one number (degrees)";
    if (p.slot == ParamItem::Slot::long_) return "one integer";
    if (p.slot == ParamItem::Slot::float_) return "one number";
    if (p.kind == "matrix") return "six numbers";
    if (p.kind == "lookup") return "a table of 1 to 256 numbers 0..255 (entry i for input i)";
    if (p.kind == "itable") return "a filter: taps, subsamples, then taps x subsamples weights, phase by phase";
    if (p.kind == "kernel") return "a kernel WxH:v1,...,vn or a name";
    if (p.kind == "ints") return "integers, one or one per band";
    return "numbers, one or one per band";
}

// Options with a flag of their own ("--const"); the rest are "--param NAME".
bool own_flag(const std::string &option) {
    return option == "const" || option == "value" || option == "lut" || option == "matrix" || option == "angle" ||
           option == "kernel" || option == "edge";
}

std::string number_text(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

// The values of one use of an item, checked and expanded: per-band kinds to
// `bands` values, then at least four. False with *error.
bool item_values(const ParamItem &p, std::vector<double> v, int bands, std::vector<double> *out, std::string *error) {
    const std::string flag = option_flag(p.option);
    const bool integral = p.kind == "ints" || p.slot == ParamItem::Slot::long_;
    for (double x : v)
        if (integral && (x != std::floor(x) || x < -2147483648.0 || x > 2147483647.0)) {
            *error = flag + ": " + number_text(x) + " is not a 32-bit integer";
            return false;
        }
    if (per_band_kind(p.kind) && p.slot == ParamItem::Slot::ptr) {
        if (v.size() == 1) v.resize(static_cast<std::size_t>(bands), v[0]);
        if (static_cast<int>(v.size()) != bands) {
            *error = flag + ": " + std::to_string(v.size()) + " values given for " + std::to_string(bands) +
                     " band(s): give one, or one per band";
            return false;
        }
    } else if (p.kind == "kernel") {
        // Width, height, then the values row by row.
        if (v.size() < 3 || v[0] != std::floor(v[0]) || v[1] != std::floor(v[1]) || v[0] < 1 || v[1] < 1 ||
            v[0] > 256 || v[1] > 256 || v.size() - 2 != static_cast<std::size_t>(v[0] * v[1])) {
            *error = flag + ": it takes " + numbers_word(p);
            return false;
        }
    } else if (p.kind == "lookup") {
        if (v.empty() || v.size() > 256) {
            *error = flag + ": " + std::to_string(v.size()) + " values given; it takes " + numbers_word(p);
            return false;
        }
        for (double x : v)
            if (!(x >= 0 && x <= 255)) {
                *error = flag + ": " + number_text(x) + " is not a byte value 0..255";
                return false;
            }
    } else if (p.kind == "itable") {
        const bool shape = v.size() >= 2 && v[0] == std::floor(v[0]) && v[0] >= 1 && v[0] <= 64 &&
                           v[1] == std::floor(v[1]) && v[1] >= 1 && v[1] <= 65536;
        if (!shape || v.size() != 2 + static_cast<std::size_t>(v[0]) * static_cast<std::size_t>(v[1])) {
            *error = flag + ": " + std::to_string(v.size()) + " values given; it takes " + numbers_word(p) +
                     " (taps 1..64, subsamples 1..65536)";
            return false;
        }
    } else {
        const std::size_t want = p.kind == "matrix" && p.slot == ParamItem::Slot::ptr ? 6 : 1;
        if (v.size() != want) {
            *error = flag + ": " + std::to_string(v.size()) + " value(s) given; it takes " + numbers_word(p);
            return false;
        }
    }
    *out = std::move(v);
    return true;
}

// A host image of the pixels: bytes, or with shorts signed 16-bit samples
// spread over the whole range (v * 257 - 32768: 0 gives -32768, 255 gives 32767).
ZorImage *memory_image(const Pixels &p, bool shorts) {
    ZorImage *img = ZorImage::create(static_cast<unsigned>(p.w), static_cast<unsigned>(p.h),
                                     static_cast<unsigned>(p.bands), shorts ? ZOR_SHORT : ZOR_BYTE);
    if (!img) return nullptr;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x)
            for (int k = 0; k < p.bands; ++k) {
                void *at = img->sampleAddress(x, y, k);
                if (shorts) {
                    *static_cast<std::int16_t *>(at) = static_cast<std::int16_t>(p.at(x, y, k) * 257 - 32768);
                } else {
                    *static_cast<std::uint8_t *>(at) = p.at(x, y, k);
                }
            }
    img->markModified();
    return img;
}

}  // namespace

bool param_items(const WrenPath &row, std::vector<ParamItem> *out, std::string *error) {
    out->clear();
    for (int op = 0; op < row.count() - 1; ++op) {
        std::istringstream in(row.params[op] ? row.params[op] : "");
        for (std::string word; in >> word;) {
            ParamItem p;
            p.op = op;
            const std::size_t c1 = word.find(':');
            const std::string slot = word.substr(0, c1);
            std::size_t digits = 0;
            while (digits < slot.size() && !std::isdigit(static_cast<unsigned char>(slot[digits]))) ++digits;
            const std::string base = slot.substr(0, digits), number = slot.substr(digits);
            bool numbered = !number.empty() && number.size() < 3 &&
                                  std::all_of(number.begin(), number.end(), [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); });
            if (numbered) p.index = std::stoi(number);
            if (base == "src") p.slot = ParamItem::Slot::src;
            else if (base == "ptr") p.slot = ParamItem::Slot::ptr;
            else if (base == "obj") p.slot = ParamItem::Slot::obj;
            else if (base == "long") p.slot = ParamItem::Slot::long_;
            else if (base == "float") p.slot = ParamItem::Slot::float_;
            else numbered = false;
            bool ok = numbered && p.index >= 1;
            if (ok && p.slot == ParamItem::Slot::src) {
                // "src1" bytes, "src1:shorts" signed 16-bit samples.
                if (c1 != std::string::npos) p.kind = word.substr(c1 + 1);
                ok = (c1 == std::string::npos || p.kind == "shorts") && p.index <= 2;
            } else if (ok) {
                const std::size_t c2 = c1 == std::string::npos ? c1 : word.find(':', c1 + 1);
                ok = c2 != std::string::npos && word.find(':', c2 + 1) == std::string::npos;
                if (ok) {
                    p.kind = word.substr(c1 + 1, c2 - c1 - 1);
                    p.option = word.substr(c2 + 1);
                    ok = !p.kind.empty() && !p.option.empty();
                }
            }
            if (!ok) {
                *error = "the device's path " + path_name(row) + " has a parameter item '" + word +
                         "' the tool cannot read";
                return false;
            }
            out->push_back(p);
        }
    }
    return true;
}

std::span<const WrenPath> path_table(const ZorPlugin &plugin) {
    const auto table = reinterpret_cast<wren_path_table_fn>(plugin.symbol("wren_path_table"));
    int n = 0;
    const WrenPath *rows = table ? table(&n) : nullptr;
    if (!rows || n <= 0) return {};
    return {rows, static_cast<std::size_t>(n)};
}

std::string path_name(const WrenPath &row) {
    std::string s;
    for (int i = 0; i < row.count() - 1; ++i) {
        if (i) s += '/';
        s += row.names[i];
    }
    return s;
}

std::string full_path(const WrenPath &row) { return std::string(ZOR_DISPLAY_IO_WREN) + "/" + path_name(row); }

const WrenPath *find_path(std::span<const WrenPath> rows, const std::string &name) {
    for (const WrenPath &row : rows)
        if (name == path_name(row) || name == full_path(row)) return &row;
    return nullptr;
}

const char *state_word(int state) {
    switch (state) {
    case WREN_PATH_DRAWS: return "draws";
    case WREN_PATH_NOT_BUILT: return "not built";
    case WREN_PATH_WORKER: return "worker";
    }
    return "unknown";
}

int images_of(const WrenPath &row) {
    std::vector<ParamItem> items;
    std::string error;
    if (!param_items(row, &items, &error)) return 0;
    int n = 0;
    for (const ParamItem &p : items)
        if (p.slot == ParamItem::Slot::src && p.op == row.count() - 2) n = std::max(n, p.index);
    return n;
}

std::vector<std::pair<std::string, int>> options_of(const WrenPath &row) {
    std::vector<ParamItem> items;
    std::string error;
    std::vector<std::pair<std::string, int>> out;
    if (!param_items(row, &items, &error)) return out;
    for (const ParamItem &p : items) {
        if (p.slot == ParamItem::Slot::src) continue;
        auto it = std::find_if(out.begin(), out.end(), [&](const auto &o) { return o.first == p.option; });
        if (it == out.end()) out.emplace_back(p.option, 1);
        else ++it->second;
    }
    return out;
}

std::string unbuildable_kind(const WrenPath &row) {
    std::vector<ParamItem> items;
    std::string error;
    if (!param_items(row, &items, &error)) return "unreadable";
    for (const ParamItem &p : items)
        if (!buildable(p)) return p.kind;
    return "";
}

std::string takes(const WrenPath &row) {
    std::vector<ParamItem> items;
    std::string error;
    if (!param_items(row, &items, &error)) return "?";
    const int n = images_of(row);
    std::string s = n == 0 ? "no image" : n == 1 ? "1 image" : std::to_string(n) + " images";
    for (const auto &[option, uses] : options_of(row)) {
        const ParamItem &p = *std::find_if(items.begin(), items.end(), [&](const ParamItem &i) {
            return i.slot != ParamItem::Slot::src && i.option == option;
        });
        s += ", " + (own_flag(option) ? "--" + option : option);
        if (!buildable(p)) s += "*";
        std::string kind;
        if (p.kind == "ints") kind = "integers";
        else if (p.kind == "matrix") kind = "6 numbers";
        else if (p.kind == "angle") kind = "degrees";
        else if (p.slot == ParamItem::Slot::float_) kind = "1 number";
        else if (p.slot == ParamItem::Slot::long_) kind = "1 integer";
        if (!kind.empty() || uses > 1)
            s += " (" + kind + (kind.empty() || uses == 1 ? "" : ", ") + (uses > 1 ? std::to_string(uses) + "x" : "") + ")";
    }
    return s;
}

std::string option_flag(const std::string &option) {
    if (own_flag(option)) return "--" + option;
    // Options wren run gives under another name.
    static const std::map<std::string, std::string> named = {
        {"flip", "--flip"},      {"xscale", "--scale"}, {"yscale", "--scale"}, {"xfilter", "--filter"},
        {"yfilter", "--filter"}, {"low", "--low"},      {"high", "--high"},    {"map", "--map"},
        {"scale", "--scale"},    {"offset", "--offset"}};
    const auto it = named.find(option);
    return it != named.end() ? it->second : "--param " + option;
}

std::unique_ptr<Chain> Chain::make(const WrenPath &row, ZorImage *dst, const std::vector<const Pixels *> &sources,
                                   const ParamValues &values, std::string *error) {
    const std::string name = path_name(row);
    const int nops = row.count() - 1;
    std::vector<ParamItem> items;
    if (!param_items(row, &items, error)) return nullptr;
    if (nops < 1) {
        *error = "the path " + name + " has no operation to show";
        return nullptr;
    }
    if (!dst) {
        *error = "no destination image for " + name;
        return nullptr;
    }
    for (const ParamItem &p : items) {
        if (!buildable(p)) {
            *error = "the tool cannot build " + p.kind + " parameters yet";
            return nullptr;
        }
        if (p.slot == ParamItem::Slot::src && p.op < nops - 1 && p.index != 1) {
            *error = "the tool cannot build a chain whose inner operation reads a second image yet";
            return nullptr;
        }
    }
    const int nimages = images_of(row);
    if (static_cast<int>(sources.size()) != nimages) {
        *error = name + " takes " +
                 (nimages == 0 ? std::string("no image") : nimages == 1 ? "1 image" : std::to_string(nimages) + " images") +
                 ", " + std::to_string(sources.size()) + " given";
        return nullptr;
    }
    const auto options = options_of(row);
    for (const auto &[option, given] : values) {
        const auto it = std::find_if(options.begin(), options.end(), [&](const auto &o) { return o.first == option; });
        if (it == options.end()) {
            std::string list;
            for (const auto &o : options) list += (list.empty() ? "" : ", ") + o.first;
            *error = name + " takes no " + option_flag(option) +
                     (list.empty() ? std::string() : " (its parameters: " + list + ")");
            return nullptr;
        }
    }
    for (const auto &[option, uses] : options) {
        const auto it = values.find(option);
        const std::size_t given = it == values.end() ? 0 : it->second.size();
        if (given == static_cast<std::size_t>(uses)) continue;
        // What to give, with its form where the flag alone does not say it.
        static const std::map<std::string, std::string> forms = {
            {"flip", " vertical|horizontal|both"},  {"xscale", " SX[,SY] (or --zoom 2|4)"},
            {"yscale", " SX[,SY] (or --zoom 2|4)"}, {"xfilter", " NAME (lanczos3, ...)"},
            {"yfilter", " NAME (lanczos3, ...)"}};
        const auto form = forms.find(option);
        const std::string flag = option_flag(option);
        const std::string what = form != forms.end() ? form->second : flag.find(' ') != std::string::npos ? "=..." : "";
        if (given == 0 && uses == 1) *error = name + " needs " + flag + what;
        else if (uses == 1) *error = name + " takes " + flag + " once, " + std::to_string(given) + " given";
        else
            *error = name + " takes --param " + option + "=... " + std::to_string(uses) +
                     " times, once per operation that uses it, in chain order; " + std::to_string(given) + " given";
        return nullptr;
    }

    std::unique_ptr<Chain> c(new Chain);
    std::vector<ZorImage *> srcs;
    for (const Pixels *p : sources) {
        bool shorts = false;
        for (const ParamItem &q : items)
            if (q.slot == ParamItem::Slot::src && q.op == nops - 1 && q.index == static_cast<int>(srcs.size()) + 1)
                shorts = q.kind == "shorts";
        ZorImage *img = memory_image(*p, shorts);
        if (!img) {
            *error = "cannot make a host image of " + std::to_string(p->w) + "x" + std::to_string(p->h);
            return nullptr;
        }
        c->images_.push_back(img);
        srcs.push_back(img);
        ++c->nsources_;
    }
    c->nsources_ = srcs.size();
    unsigned dw = 0, dh = 0, dbands = 0;
    dst->getDimensions(&dw, &dh, &dbands);
    const int bands = sources.empty() ? static_cast<int>(dbands) : sources[0]->bands;

    // Bottom up: an operation needs the one it reads (op1) when it is made.
    ZorOp *below = nullptr;
    for (int i = nops - 1; i >= 0; --i) {
        ZorImage *s[2] = {nullptr, nullptr};
        if (i == nops - 1) {
            for (int k = 0; k < 2 && k < static_cast<int>(srcs.size()); ++k) s[k] = srcs[k];
        }
        bool reads = false, sets = false, read_above = false;
        for (const ParamItem &p : items) {
            if (p.op == i && p.slot == ParamItem::Slot::src) reads = true;
            if (p.op == i && p.slot == ParamItem::Slot::ptr && p.kind == "values") sets = true;
            if (p.op == i - 1 && p.slot == ParamItem::Slot::src) read_above = true;
        }
        if (i < nops - 1 && reads) s[0] = below->getDst();

        // Per-use values of this operation's items, checked before anything is made.
        std::vector<std::pair<const ParamItem *, std::vector<double>>> set;
        for (const ParamItem &p : items) {
            if (p.op != i || p.slot == ParamItem::Slot::src) continue;
            // Uses of an option go to the operations in chain order, display side first.
            std::size_t nth = 0;
            for (const ParamItem *q = items.data(); q != &p; ++q)
                nth += q->slot != ParamItem::Slot::src && q->option == p.option;
            std::vector<double> v;
            const int per = p.kind == "values" ? static_cast<int>(dbands) : bands;
            if (!item_values(p, values.at(p.option)[nth], per, &v, error)) return nullptr;
            set.emplace_back(&p, std::move(v));
        }

        ZorImage *result = nullptr;
        if (sets || read_above) {
            // Set values: dst's size, one band per value. A result the
            // operation above reads: the size and bands of what this one reads.
            unsigned w = dw, h = dh, b = dbands;
            if (sets) {
                for (const auto &[p, v] : set)
                    if (p->kind == "values") b = static_cast<unsigned>(v.size());
            } else if (s[0]) {
                s[0]->getDimensions(&w, &h, &b);
            }
            result = ZorImage::create(w, h, b, ZOR_BYTE);
            if (!result) {
                *error = "cannot make the " + std::string(row.names[i]) + " result image of " + std::to_string(w) +
                         "x" + std::to_string(h) + "x" + std::to_string(b);
                return nullptr;
            }
            c->images_.push_back(result);
        }
        ZorOp *op = ZorOp::create(row.names[i], result, s[0], s[1], below);
        if (!op) {
            *error = "the host does not know the operation " + std::string(row.names[i]);
            return nullptr;
        }
        c->ops_.push_back(op);
        for (const auto &[p, v] : set) {
            switch (p->slot) {
            case ParamItem::Slot::long_: op->setLongParam(p->index, static_cast<long>(v[0])); break;
            case ParamItem::Slot::float_:
                // Angles are given in degrees; the operation takes radians.
                op->setFloatParam(p->index, static_cast<float>(p->kind == "angle" ? v[0] * std::numbers::pi / 180 : v[0]));
                break;
            case ParamItem::Slot::ptr: {
                // At least four values: a driver may read one per band of a
                // four-band pixel. Past the given values the last one repeats.
                const std::size_t n = std::max<std::size_t>(4, v.size());
                if (p->kind == "ints") {
                    c->ints_.emplace_back(new std::int32_t[n]);
                    for (std::size_t k = 0; k < n; ++k)
                        c->ints_.back()[k] = static_cast<std::int32_t>(v[std::min(k, v.size() - 1)]);
                    op->setPtrParam(p->index, c->ints_.back().get());
                } else {
                    c->floats_.emplace_back(new float[n]);
                    for (std::size_t k = 0; k < n; ++k)
                        c->floats_.back()[k] = static_cast<float>(v[std::min(k, v.size() - 1)]);
                    op->setPtrParam(p->index, c->floats_.back().get());
                }
                break;
            }
            case ParamItem::Slot::obj: {
                if (p->kind == "itable") {
                    std::vector<float> w(v.begin() + 2, v.end());
                    ZorInterpolationTable *t =
                        ZorInterpolationTable::create(static_cast<int>(v[0]), static_cast<int>(v[1]), w.data());
                    if (!t) {
                        *error = "cannot make the interpolation table of " + option_flag(p->option);
                        return nullptr;
                    }
                    c->objects_.push_back(t);
                    op->setObjParam(p->index, t);
                    break;
                }
                if (p->kind == "kernel") {
                    const unsigned kw = static_cast<unsigned>(v[0]), kh = static_cast<unsigned>(v[1]);
                    std::vector<float> kv(v.begin() + 2, v.end());
                    ZorKernel *k = ZorKernel::create(kw, kh, kv.data(), static_cast<int>(kw / 2), static_cast<int>(kh / 2));
                    if (!k) {
                        *error = "cannot make the " + std::to_string(kw) + "x" + std::to_string(kh) + " kernel";
                        return nullptr;
                    }
                    c->objects_.push_back(k);
                    op->setObjParam(p->index, k);
                    break;
                }
                // A lookup: the table for every band of the source (one table per
                // band for several bands). 16-bit sources take it spread over
                // their whole range: entry j is table[(j + 32768) >> 8]. A lookup
                // of another operation's result (a zoom) reads samples of that
                // operation's source type.
                ZorImage *in = s[0];
                for (ZorOp *o = below; !in && o; o = o->getOp1()) in = o->getSrc1();
                const bool shorts = in && in->getDatatype() == ZOR_SHORT;
                const std::size_t n = shorts ? 65536 : 256;
                std::vector<std::uint8_t> t(n);
                for (std::size_t j = 0; j < n; ++j) {
                    const std::size_t i = shorts ? j >> 8 : j;
                    t[j] = static_cast<std::uint8_t>(v[std::min(i, v.size() - 1)]);
                }
                const int offset = shorts ? -32768 : 0;
                ZorLookup *lut = nullptr;
                if (bands == 1) {
                    lut = ZorLookup::create(1, offset, static_cast<unsigned>(n), t.data());
                } else {
                    unsigned entries[4];
                    int offsets[4];
                    const std::uint8_t *tables[4];
                    for (int k = 0; k < bands && k < 4; ++k) {
                        entries[k] = static_cast<unsigned>(n);
                        offsets[k] = offset;
                        tables[k] = t.data();
                    }
                    lut = ZorLookup::createCombined(static_cast<unsigned>(std::min(bands, 4)), entries, offsets, tables);
                }
                if (!lut) {
                    *error = "cannot make the lookup table";
                    return nullptr;
                }
                c->objects_.push_back(lut);
                op->setObjParam(p->index, lut);
                break;
            }
            default: break;
            }
        }
        below = op;
    }
    c->display_ = ZorOp::create(ZOR_DISPLAY_IO_WREN, dst, nullptr, nullptr, below);
    if (!c->display_) {
        *error = "cannot make the display operation";
        return nullptr;
    }
    return c;
}

ZorImage *Chain::source(std::size_t i) const { return i < nsources_ ? images_[i] : nullptr; }

bool filter_values(const std::string &text, std::vector<double> *out, std::string *error) {
    const int subs = 64;
    auto make = [&](int taps, auto &&kernel) {
        out->assign({static_cast<double>(taps), static_cast<double>(subs)});
        for (int p = 0; p < subs; ++p) {
            // The resampler's first tap is floor(pos - (taps - 1) / 2) with
            // pixel k centred on k + 0.5, phase p its fraction: tap k sits at
            // k + 1 - taps / 2 - p / subs from the sample position.
            double sum = 0;
            std::vector<double> w(static_cast<std::size_t>(taps));
            for (int k = 0; k < taps; ++k) sum += w[k] = kernel(k + 1 - taps * 0.5 - double(p) / subs);
            for (double x : w) out->push_back(sum != 0 ? x / sum : x);
        }
    };
    auto sinc = [](double x) { return x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); };
    if (text == "lanczos2" || text == "lanczos3" || text == "lanczos4") {
        const int a = text.back() - '0';
        make(2 * a, [&](double x) { return std::fabs(x) < a ? sinc(x) * sinc(x / a) : 0.0; });
    } else if (text == "box") {
        make(1, [](double) { return 1.0; });
    } else if (text == "linear") {
        make(2, [](double x) { return std::max(0.0, 1 - std::fabs(x)); });
    } else if (text == "cubic") {  // Catmull-Rom
        make(4, [](double x) {
            x = std::fabs(x);
            return x < 1 ? 1.5 * x * x * x - 2.5 * x * x + 1 : x < 2 ? -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2 : 0.0;
        });
    } else if (text.rfind("file:", 0) == 0) {
        std::ifstream in(text.substr(5));
        if (!in) {
            *error = "--filter: cannot open '" + text.substr(5) + "'";
            return false;
        }
        out->clear();
        for (std::string word; in >> word;) {
            char *end = nullptr;
            const double x = std::strtod(word.c_str(), &end);
            if (*end != '\0' || !std::isfinite(x)) {
                *error = "--filter " + text + ": '" + word + "' is not a number";
                return false;
            }
            out->push_back(x);
        }
    } else {
        *error = "--filter: '" + text + "' is not lanczos2, lanczos3, lanczos4, box, linear, cubic or file:PATH";
        return false;
    }
    return true;
}

Chain::~Chain() {
    if (display_) display_->destroy();
    for (ZorOp *o : ops_) o->destroy();
    for (ZorImage *i : images_) i->destroy();
    for (ZorObject *o : objects_) o->destroy();
}

}  // namespace tool
