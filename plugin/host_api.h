/* The host application's plug-in interface: module descriptor, server records, scene record, panels, state and the pixel-filter slots. */
#ifndef PELLICK_HOST_API_H
#define PELLICK_HOST_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define PELLICK_ALIGN8 alignas(8)
extern "C" {
#else
#define PELLICK_ALIGN8 _Alignas(8)
#endif

/* The host's global lookup. "System ID" answers a 32-bit value carried in
   the pointer; other names answer a pointer, or null when absent. */
typedef void *HostGlobalFunc(const char *name, int32_t useMode /* 0 */);

/* One record per registered class; an all-zero record ends the table. */
typedef struct HostServerRecord {
    const char *className;  /* "PixelFilterHandler", "PixelFilterInterface" */
    const char *serverName; /* "Pellick-Monitor" */
    int32_t (*activate)(int32_t version, HostGlobalFunc *global, void *local, void *serverData);
} HostServerRecord;

/* Exported data symbol `_mod_descrip`. */
typedef struct HostModuleDescriptor {
    uint32_t sysSync;    /* 0x04121994 */
    uint32_t sysVersion; /* 2 */
    uint32_t machine;    /* 0x300 */
    uintptr_t (*startup)(void); /* returns a nonzero word (4) */
    void (*shutdown)(void);
    HostServerRecord *servers;
} HostModuleDescriptor;

/* "VK Scene Info 2". Member names follow the 32-bit byte offsets. */
typedef struct HostSceneInfo {
    const char *name;     /* 32-bit offset 0 */
    const char *filename; /* 4 */
    int32_t v08, v12, v16, v20;
    int32_t firstFrame; /* 24 */
    int32_t lastFrame;  /* 28 */
    int32_t frameStep;  /* 32 */
    int32_t v36;        /* padding, never read */
    PELLICK_ALIGN8 double v40;
    int32_t v48, v52;
    PELLICK_ALIGN8 double v56;
    int32_t v64, v68, v72, v76, v80, v84, v88;
} HostSceneInfo;

/* A text value handed to and from panel controls. */
typedef struct HostValue {
    int32_t type; /* 1: text */
    char *text;
    int32_t size; /* bytes at text */
} HostValue;

/* A panel control: a table of functions, each taking the control first. */
typedef struct HostControl HostControl;
struct HostControl {
    void (*draw)(HostControl *self, int32_t mode);              /* 0: not used */
    void (*get)(HostControl *self, uint32_t attr, HostValue *v); /* 1: read  */
    void (*set)(HostControl *self, uint32_t attr, HostValue *v); /* 2: write */
};

/* "VKPanelServices": slots 3 to 7 exist but are not used by the plug-in. */
typedef struct HostPanelServices {
    void *(*create)(const char *title, void *reserved /* 0 */); /* 0 */
    void (*destroy)(void *panel);                                /* 1 */
    int32_t (*open)(void *panel, int32_t flags /* 3 */);         /* 2 */
    void *unused3, *unused4, *unused5, *unused6, *unused7;
    HostControl *(*addControl)(void *panel, const char *kind, const int32_t *desc /* {1, 50} */,
                               const char *label); /* 8 */
} HostPanelServices;

/* Load and save state. On load transfer reads bytes into buffer; on save
   it stores bytes from buffer. */
typedef struct HostState {
    int32_t mode; /* the plug-in acts only on mode 1 */
    void *data;
    int32_t (*transfer)(void *data, void *buffer, int32_t bytes);
} HostState;

/* The handler table: the "local" argument of the handler's activation. */
typedef struct HostPixelFilter {
    void *(*create)(void *serverData, void *context, const char **error); /* 0 */
    void (*destroy)(void *instance);                                      /* 1 */
    int32_t (*copy)(void *to, void *from);                                /* 2 */
    int32_t (*load)(void *instance, const HostState *state);              /* 3 */
    int32_t (*save)(void *instance, const HostState *state);              /* 4 */
    int32_t (*renderStart)(void *instance, int32_t mode);                 /* 5 */
    void (*renderEnd)(void *instance);                                    /* 6 */
    int32_t (*newFrame)(void *instance, int32_t frame, double time);      /* 7 */
    void (*evaluate)(void *instance, const void *access);                 /* 8 */
    int32_t (*flags)(void *instance);                                     /* 9 */
    const char *(*describe)(void *instance);                              /* 10 */
} HostPixelFilter;

/* Values the host and the plug-in agree on. */
#define HOST_SYS_SYNC 0x04121994u
#define HOST_SYS_VERSION 2u
#define HOST_MACHINE 0x300u
#define HOST_ACTIVATE_VERSION 3
#define HOST_SYSTEM_TYPE_MASK 0xF0000000u
#define HOST_SYSTEM_RENDER_NODE 0x20000000u
#define HOST_SYSTEM_NODE_MASK 0x0FFFFFFFu

#ifdef __cplusplus
}

/* On a 32-bit build the host's byte offsets hold exactly. */
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(HostSceneInfo, name) == 0);
static_assert(offsetof(HostSceneInfo, filename) == 4);
static_assert(offsetof(HostSceneInfo, v08) == 8);
static_assert(offsetof(HostSceneInfo, v20) == 20);
static_assert(offsetof(HostSceneInfo, firstFrame) == 24);
static_assert(offsetof(HostSceneInfo, lastFrame) == 28);
static_assert(offsetof(HostSceneInfo, frameStep) == 32);
static_assert(offsetof(HostSceneInfo, v40) == 40);
static_assert(offsetof(HostSceneInfo, v48) == 48);
static_assert(offsetof(HostSceneInfo, v52) == 52);
static_assert(offsetof(HostSceneInfo, v56) == 56);
static_assert(offsetof(HostSceneInfo, v64) == 64);
static_assert(offsetof(HostSceneInfo, v88) == 88);
static_assert(sizeof(HostModuleDescriptor) == 6 * 4, "_mod_descrip is six 32-bit words");
static_assert(offsetof(HostModuleDescriptor, startup) == 12);
static_assert(offsetof(HostModuleDescriptor, servers) == 20);
static_assert(sizeof(HostServerRecord) == 3 * 4);
static_assert(offsetof(HostState, transfer) == 8);
static_assert(sizeof(HostValue) == 12);
static_assert(offsetof(HostPanelServices, addControl) == 8 * 4);
static_assert(sizeof(HostPixelFilter) == 11 * 4);
#endif
#endif

#endif
