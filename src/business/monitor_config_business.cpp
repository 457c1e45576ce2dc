#include "business/monitor_config_business.h"

#include "base/json_member.h"
#include "base/log.h"
#include "base/secret_mask.h"
#include "business/business_manager.h"
#include "business/kw_cloud_bodies.h"
#include "business/kw_cloud_data_upload_business.h"
#include "business/report_reply.h"
#include "service/auth_service.h"
#include "service/monitor_service.h"
#include "service/net_helper.h"
#include "service/net_message.h"
#include "service/service_manager.h"

namespace zq_camera_service {

namespace {

// A configured period the task loop can live with: 0 or less would fire on
// every pass of the loop, flooding the back end and holding the HTTP
// transport from every other caller, so it becomes 1 s; more than a day is a
// day.
int UsablePeriod(const char* key, int32_t configured) {
  if (configured <= 0) {
    zq_warn("%s %d is not a positive period, using 1 second\n", key, configured);
    return 1;
  }
  if (configured > kMaxReportPeriod) {
    zq_warn("%s %d is longer than a day, using %d seconds\n", key, configured, kMaxReportPeriod);
    return kMaxReportPeriod;
  }
  return configured;
}

}  // namespace

int MonitorConfigBusiness::StartBusiness() {
  rapidjson::Document* config = nullptr;
  int rc = LoadBaseConfig(&config);
  if (rc != 0) return rc;
  int value = 0;
  heartbeat_gap = json::GetInt(*config, "HeartbeatGap", &value) ? value : 0;
  value = 0;
  monitor_gap = json::GetInt(*config, "HelloTimeGap", &value) ? value : 0;
  zq_info("monitor gap %d\n", monitor_gap);

  ArmTimer(TIMER_HEARTBEAT, UsablePeriod("HeartbeatGap", heartbeat_gap));
  ArmTimer(TIMER_MONITOR_REPORT, UsablePeriod("HelloTimeGap", monitor_gap));

  hello_url.clear();
  json::GetString(*config, "HelloUrl", &hello_url);
  device_id.clear();
  json::GetString(*config, "DeviceId", &device_id);
  return 0;
}

void MonitorConfigBusiness::ArmTimer(int timer_id, int period) {
  timeval due = TimerNow();
  due.tv_sec = DueSecondAfter(due.tv_sec, period);
  timer_next_due.emplace(timer_id, due);
  timer_periods.emplace(timer_id, period);
}

int MonitorConfigBusiness::StopBusiness() { return 0; }

int MonitorConfigBusiness::DoTimeOutHandler(int timer_id) {
  zq_info("Do Monitor timeout %d\n", timer_id);
  auto* auth = dynamic_cast<AuthService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_AUTH));
  if (auth == nullptr) {
    zq_error("Auth service not found\n");
    return -1;
  }
  rapidjson::Document header;
  int rc = auth->GetMessageToCompose(header);
  if (rc != 0) return rc;
  // A header whose text did not parse carries no key and no signature: the
  // back end could only refuse such a report.
  if (!header.IsObject()) {
    zq_error("No common header for report %d, nothing sent\n", timer_id);
    return -1;
  }

  std::string body;
  std::string path;
  if (timer_id == TIMER_HEARTBEAT) {
    zq_info("Do heart beat\n");
    body = ComposePostHeartbeatHeader(header);
    path = kHeartbeatPath;
  } else if (timer_id == TIMER_MONITOR_REPORT) {
    zq_info("Do monitor\n");
    body = ComposePostMonitorHeader(header);
    path = kMonitorPath;
  } else {
    zq_error("Unknown monitor timer %d\n", timer_id);
    return -1;
  }
  NetMessage response;
  Exchange(body, path, response);
  HandleResponseBy(timer_id, response.ReplyView());

  if (CheckWarning() != 0) {
    NetMessage warning_response;
    Exchange(ComposePostWarningHeader(header), kWarningPath, warning_response);
    HandleResponseBy(kWarningReportId, warning_response.ReplyView());
  }
  return 0;
}

namespace {

// The cloud key stands in every body; no log sink may carry it. Only as much
// is masked as a line keeps.
std::string Loggable(std::string_view text) {
  auto* auth = dynamic_cast<AuthService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_AUTH));
  if (auth == nullptr) return std::string(text.substr(0, kZqLogTextLimit));
  return MaskSecret(text, auth->CloudKey(), kZqLogTextLimit);
}

}  // namespace

int MonitorConfigBusiness::DoPost(std::string& body, std::string& path, std::string& reply) {
  NetMessage response;
  if (Exchange(body, path, response) != 0) {
    reply.clear();
    return -1;
  }
  reply.assign(response.ReplyView());
  return 0;
}

int MonitorConfigBusiness::Exchange(const std::string& body, const std::string& path, NetMessage& response) {
  if (zq_log_enabled(3)) zq_info("Request message %s\n", Loggable(body).c_str());
  NetMessage request;
  if (!request.SetBody(body)) {
    zq_error("Report body too long: %zu bytes\n", body.size());
    return -1;
  }
  request.method = "post";
  request.url = hello_url + path;
  request.header = "Content-Type: application/json";
  request.timeout = 5;
  NetHelper::GetInstance()->SendSyncMessage(request, response);
  if (!response.HasReply()) {
    response.ClearData();
    return -1;
  }
  if (zq_log_enabled(3)) zq_info("Get response mesasge %s\n", Loggable(response.ReplyView()).c_str());
  return 0;
}

std::string MonitorConfigBusiness::ComposePostHeartbeatHeader(rapidjson::Document& header) {
  return kw_cloud::HeartbeatBody(header, device_id, [this](int level, int type, const std::string& message,
                                                           int64_t time, rapidjson::Document::AllocatorType& allocator) {
    return AddObject(level, type, message, time, allocator);
  });
}

std::string MonitorConfigBusiness::ComposePostMonitorHeader(rapidjson::Document& header) {
  float cpu = 0.0f;
  float disk = 0.0f;
  auto* monitor = dynamic_cast<MonitorService*>(ServiceManager::GetInstance()->GetServiceBy(SERVICE_MONITOR));
  if (monitor != nullptr) monitor->FetchCurrentDeviceState(cpu, disk);
  return kw_cloud::MonitorBody(header, device_id, cpu, disk,
                               [this](int level, int type, const std::string& message, int64_t time,
                                      rapidjson::Document::AllocatorType& allocator) {
                                 return AddObject(level, type, message, time, allocator);
                               });
}

rapidjson::Value MonitorConfigBusiness::AddObject(int level, int type, std::string message, int64_t time,
                                                  rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>& allocator) {
  return kw_cloud::ReportItem(level, type, message, time, allocator);
}

std::string MonitorConfigBusiness::ComposePostWarningHeader(rapidjson::Document& header) {
  return kw_cloud::WarningBody(header);
}

int MonitorConfigBusiness::CheckWarning() { return 0; }

int MonitorConfigBusiness::HandleResponseBy(int timer_id, std::string& reply) {
  return HandleResponseBy(timer_id, std::string_view(reply));
}

int MonitorConfigBusiness::HandleResponseBy(int timer_id, std::string_view reply) {
  ReportReply read = ReadReportReply(reply);
  switch (read.result) {
    case -1:
      zq_error("Response failed\n");
      return -1;
    case -2:
      zq_error("MonitorConfigBusiness Parse response failed\n");
      return -2;
    case -3:
      zq_error("MonitorConfigBusiness response error with %s %s\n", read.error_code.c_str(),
               read.error_message.c_str());
      return -3;
    default:
      break;
  }
  if (!read.has_response) {
    // A bare status code of a refused HTTP request lands here, too.
    zq_warn("MonitorConfigBusiness response without Response object\n");
    return 0;
  }
  if (timer_id == TIMER_HEARTBEAT && read.catch_camera_pic) {
    auto* upload = dynamic_cast<KwCloudDataUploadBusiness*>(
        BusinessManager::GetInstance()->GetBusinessBy(BUSINESS_KWCLOUD_DATA_UPLOAD));
    if (upload != nullptr) {
      upload->SetActId(read.act_id);
    } else {
      zq_error("Kw cloud data upload business not found\n");
    }
  }
  if ((timer_id == TIMER_HEARTBEAT || timer_id == TIMER_MONITOR_REPORT) && read.has_report_gap) {
    auto period = timer_periods.find(timer_id);
    if (!read.report_gap_usable) {
      zq_warn("ReportGap of report %d is not a positive integer, period kept\n", timer_id);
    } else if (period != timer_periods.end()) {
      period->second = read.report_gap;
    }
  }
  return 0;
}

}  // namespace zq_camera_service
