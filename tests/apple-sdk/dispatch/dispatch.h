/* libdispatch: a private serial queue, and running a function on it. */
#pragma once

typedef struct dispatch_queue_s *dispatch_queue_t;
typedef struct dispatch_queue_attr_s *dispatch_queue_attr_t;
typedef void (*dispatch_function_t)(void *context);

#define DISPATCH_QUEUE_SERIAL ((dispatch_queue_attr_t)0)

dispatch_queue_t dispatch_queue_create(const char *label, dispatch_queue_attr_t attr);
void dispatch_sync_f(dispatch_queue_t queue, void *context, dispatch_function_t work);
void dispatch_release(dispatch_queue_t object);
