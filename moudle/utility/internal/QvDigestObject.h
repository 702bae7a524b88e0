#pragma once

// The lifecycle QvMD5 and QvSHA1 have in common, written once: both classes are a context
// pointer and a digest buffer, and their members forward here with those two fields.
//
// Traits: Context, kSize, Start(Context*), Update(Context*, const unsigned char*, uint32_t),
// Finish(Context*, unsigned char*).

#include "QvBuffer.h"
#include "QvDefs.h"
#include "internal/QvDigestContext.h"

#include <new>
#include <utility>

namespace qv {
namespace digest {

template <class Traits>
struct DigestObject {
    using Context = typename Traits::Context;

    static void Destroy(Context*& ctx) {
        delete ctx;
        ctx = nullptr;
    }

    // The context first, then room for the digest; either failing leaves no context.
    static int Init(Context*& ctx, QvBuffer& buffer) {
        Destroy(ctx);
        Context* fresh = new (std::nothrow) Context;
        if (!fresh) return 0;
        if (!buffer.Alloc(Traits::kSize)) {
            delete fresh;
            return 0;
        }
        Traits::Start(fresh);
        ctx = fresh;
        return 1;
    }

    static int Append(Context* ctx, const unsigned char* bytes, int32_t count) {
        if (!ctx || count < 0) return 0;
        Traits::Update(ctx, bytes, static_cast<uint32_t>(count));
        return 1;
    }

    static int Final(Context* ctx, QvBuffer& buffer) {
        if (!ctx) return 0;
        Traits::Finish(ctx, buffer.m_pData);
        buffer.m_lSize = Traits::kSize;
        return 1;
    }

    static CString Text(const Context* ctx, const QvBuffer& buffer) {
        CString text("");
        if (!ctx || !buffer.m_pData || buffer.m_lSize != Traits::kSize) return text;
        for (int i = 0; i < Traits::kSize; ++i) {
            CString hex;
            hex.Format("%02X", static_cast<unsigned>(buffer.m_pData[i]));
            text += hex;
        }
        // The platform string may run out of memory part way: never hand out a cut digest.
        if (text.GetLength() != 2 * Traits::kSize) return CString("");
        return text;
    }

    static const QvBuffer* Buffer(const Context* ctx, const QvBuffer& buffer) {
        return ctx ? &buffer : nullptr;
    }

    // Deep copy into an object that holds no context. The buffer follows QvBuffer's own
    // rule; the copy gets a context only when it also got room for the digest.
    static void CopyFrom(Context*& ctx, QvBuffer& buffer, const Context* srcCtx,
                         const QvBuffer& srcBuffer) {
        buffer = srcBuffer;
        if (srcCtx && buffer.m_pData && buffer.m_lCapacity >= Traits::kSize)
            ctx = new (std::nothrow) Context(*srcCtx);
    }

    static void Assign(Context*& ctx, QvBuffer& buffer, const Context* srcCtx,
                       const QvBuffer& srcBuffer) {
        if (&buffer == &srcBuffer) return;
        Destroy(ctx);
        CopyFrom(ctx, buffer, srcCtx, srcBuffer);
    }

    static void MoveFrom(Context*& ctx, QvBuffer& buffer, Context*& srcCtx, QvBuffer& srcBuffer) {
        if (&buffer == &srcBuffer) return;
        Destroy(ctx);
        ctx = srcCtx;
        srcCtx = nullptr;
        buffer = std::move(srcBuffer);
    }
};

struct MD5Traits {
    using Context = MD5Context;
    static constexpr int kSize = kMD5Size;
    static void Start(Context* c) { StartMD5Context(c); }
    static void Update(Context* c, const unsigned char* p, uint32_t n) {
        UpdateMD5Context(c, p, n);
    }
    static void Finish(Context* c, unsigned char* out) { FinishMD5Context(c, out); }
};

struct SHA1Traits {
    using Context = SHA1Context;
    static constexpr int kSize = kSHA1Size;
    static void Start(Context* c) { StartSHA1Context(c); }
    static void Update(Context* c, const unsigned char* p, uint32_t n) {
        UpdateSHA1Context(c, p, n);
    }
    static void Finish(Context* c, unsigned char* out) { FinishSHA1Context(c, out); }
};

}  // namespace digest
}  // namespace qv

// The members both digest classes have, defined once: each forwards to DigestObject with
// the object's two fields.
#define QV_DEFINE_DIGEST_MEMBERS(Class, Traits)                                                \
    using Class##Lifecycle = qv::digest::DigestObject<Traits>;                                 \
    Class::Class() : m_pContext(nullptr) {}                                                    \
    Class::Class(const Class& other) : m_pContext(nullptr) {                                   \
        Class##Lifecycle::CopyFrom(m_pContext, m_Buffer, other.m_pContext, other.m_Buffer);    \
    }                                                                                          \
    Class::Class(Class&& other) noexcept : m_pContext(nullptr) {                               \
        Class##Lifecycle::MoveFrom(m_pContext, m_Buffer, other.m_pContext, other.m_Buffer);    \
    }                                                                                          \
    Class& Class::operator=(const Class& other) {                                              \
        Class##Lifecycle::Assign(m_pContext, m_Buffer, other.m_pContext, other.m_Buffer);      \
        return *this;                                                                          \
    }                                                                                          \
    Class& Class::operator=(Class&& other) noexcept {                                          \
        Class##Lifecycle::MoveFrom(m_pContext, m_Buffer, other.m_pContext, other.m_Buffer);    \
        return *this;                                                                          \
    }                                                                                          \
    Class::~Class() { Destroy(); }                                                             \
    void Class::Destroy() { Class##Lifecycle::Destroy(m_pContext); }                           \
    int Class::Init() { return Class##Lifecycle::Init(m_pContext, m_Buffer); }                 \
    int Class::Append(unsigned char* pData, int32_t nSize) {                                   \
        return Class##Lifecycle::Append(m_pContext, pData, nSize);                             \
    }                                                                                          \
    int Class::Final() { return Class##Lifecycle::Final(m_pContext, m_Buffer); }               \
    CString Class::GetString() { return Class##Lifecycle::Text(m_pContext, m_Buffer); }        \
    const QvBuffer* Class::GetBuffer() { return Class##Lifecycle::Buffer(m_pContext, m_Buffer); }
