// getLinkFormat / getLinkStats / getLinkState: what the module holds about
// one link. No connection needed; texts are copied under the graph lock and
// become JavaScript strings after it is released.
#include "ArgCheck.h"
#include "Exports.h"
#include "JsValues.h"
#include "../connection/PwContext.h"

NAN_METHOD(getLinkFormat) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkFormat requires a link ID")) return;
    uint32_t linkId = argUint32(info, 0);
    PwContext* ctx = getContext();
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(linkId));
    std::string format = "unknown";
    {
        LockGuard lock(ctx->mutex);
        auto it = ctx->linkFormats.find(linkId);
        if (it != ctx->linkFormats.end()) format = it->second;
    }
    js::set(result, js::kFormat, js::str(format));
    info.GetReturnValue().Set(result);
}

NAN_METHOD(getLinkStats) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkStats requires a link ID")) return;
    uint32_t linkId = argUint32(info, 0);
    PwContext* ctx = getContext();
    LinkStats stats;
    {
        LockGuard lock(ctx->mutex);
        auto it = ctx->linkStats.find(linkId);
        if (it != ctx->linkStats.end()) stats = it->second;
    }
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(linkId));
    js::set(result, js::kBytes, js::num64(stats.bytes));
    js::set(result, js::kDrops, js::num64(stats.drops));
    js::set(result, js::kRate, js::num(stats.rate));
    info.GetReturnValue().Set(result);
}

NAN_METHOD(getLinkState) {
    if (!checkArgs(info, {ArgKind::Number}, "getLinkState requires a link ID")) return;
    uint32_t linkId = argUint32(info, 0);
    PwContext* ctx = getContext();
    std::string srcName, sinkName;
    {
        LockGuard lock(ctx->mutex);
        const LinkInfo* link = nullptr;
        for (const LinkInfo& l : ctx->links) {
            if (l.id == linkId) {
                link = &l;
                break;
            }
        }
        if (!link) return;  // undefined: the link is not in the mirror
        for (const NodeInfo& node : ctx->nodes) {
            if (node.id == link->srcNodeId) srcName = node.name;
            if (node.id == link->sinkNodeId) sinkName = node.name;
        }
    }
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kLinkId, js::num(linkId));
    js::set(result, js::kState, Nan::New("active").ToLocalChecked());
    js::set(result, js::kSrcNode, js::str(srcName));
    js::set(result, js::kSinkNode, js::str(sinkName));
    info.GetReturnValue().Set(result);
}
