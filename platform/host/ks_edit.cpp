// _KsEdit: how a minidriver makes an AVStream record (a pin's descriptor, the framing it points
// at) its own before changing it. The static original may be shared by every pin of the
// factory, so the edit goes to a copy that lives in the object's bag.
#include "platform/host/ks_objects.h"

extern "C" NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG bagHandle, PVOID* pointerToItem, ULONG newSize,
                                  ULONG oldSize, ULONG tag) {
    using namespace host::ks;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::BugCheck("_KsEdit above PASSIVE_LEVEL");
    ObjectBag* bag = FindBag(bagHandle);
    if (!bag)
        host::BugCheck("_KsEdit on something that is not a live object bag");
    if (!pointerToItem)
        host::BugCheck("_KsEdit without a pointer to the item");
    RequireBagMutex(bag, "_KsEdit");
    PVOID old = *pointerToItem;
    if (!old && oldSize)
        host::BugCheck("_KsEdit of a null item with a nonzero old size");
    bool inBag = false;
    {
        std::lock_guard<std::mutex> g(bag->lock);
        for (const BagItem& held : bag->items)
            inBag = inBag || held.item == old;
    }
    // Already the object's own and big enough: edit in place.
    if (inBag && newSize <= oldSize)
        return STATUS_SUCCESS;
    if (newSize == 0)
        return STATUS_INVALID_PARAMETER;
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, newSize, tag);
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(copy, 0, newSize);
    if (old)
        memcpy(copy, old, oldSize < newSize ? oldSize : newSize);
    NTSTATUS status = KsAddItemToObjectBag(bagHandle, copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(copy);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *pointerToItem = copy;
    // A grown item replaces the bag's older copy, which nothing may use any more.
    if (inBag)
        RemoveFromBag(bag, old);
    return STATUS_SUCCESS;
}
