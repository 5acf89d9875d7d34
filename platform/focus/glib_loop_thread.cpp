#include "platform/focus/glib_loop_thread.hpp"

#include "platform/runtime/thread_name.hpp"

namespace tavlo {
namespace {

gboolean runJob(gpointer data) {
  (*static_cast<GlibLoopThread::Job*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteJob(gpointer data) { delete static_cast<GlibLoopThread::Job*>(data); }

}  // namespace

GlibLoopThread::GlibLoopThread(std::string label)
    : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  // The thread holds references of its own: it may outlive this object (see the destructor).
  thread_ = std::thread([context = g_main_context_ref(context_), loop = g_main_loop_ref(loop_),
                         label = std::move(label)] {
    setCurrentThreadName(label);
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    // Jobs queued before the stop still run (releases of library objects among them).
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  });
}

GlibLoopThread::~GlibLoopThread() {
  post([loop = loop_] { g_main_loop_quit(loop); });
  if (isCurrent()) {
    thread_.detach();  // cannot join itself; the loop ends after this job
  } else {
    thread_.join();
  }
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GlibLoopThread::post(Job job) {
  // An idle source rather than g_main_context_invoke: invoke would run the job on the calling thread
  // whenever no thread owns the context at that moment.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runJob, new Job(std::move(job)), deleteJob);
  g_source_attach(source, context_);
  g_source_unref(source);
}

}  // namespace tavlo
