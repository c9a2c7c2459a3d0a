#include "tests/ffmpeg/media_files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "platform/media/audio_generators.h"
#include "platform/media/test_pattern.h"

namespace quellvox::media_files {

namespace {

std::string Text(int rc) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, buf, sizeof buf);
  return buf;
}

bool Drain(AVFormatContext* oc, AVCodecContext* c, AVStream* s, AVFrame* f, std::string& error) {
  int rc = avcodec_send_frame(c, f);
  if (rc < 0) {
    error = "send: " + Text(rc);
    return false;
  }
  AVPacket* p = av_packet_alloc();
  while ((rc = avcodec_receive_packet(c, p)) >= 0) {
    av_packet_rescale_ts(p, c->time_base, s->time_base);
    p->stream_index = s->index;
    if ((rc = av_interleaved_write_frame(oc, p)) < 0) break;
  }
  av_packet_free(&p);
  if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    error = "write: " + Text(rc);
    return false;
  }
  return true;
}

}  // namespace

bool WriteInput(const std::string& path, int32_t frames, MadeInput& made, std::string& error, const std::string& format,
                const std::string& videoCodec, int64_t firstFrame) {
  made.Frames = frames;
  const int32_t spf = made.SampleRate / made.Rate;
  made.Audio.assign(static_cast<size_t>(frames) * spf * made.Channels, 0.0f);
  std::vector<std::unique_ptr<studio::PairGenerator>> pairs;
  studio::PairSource floor;
  floor.Kind = studio::PairSourceKind::Floor;
  floor.Seed = 7;
  pairs.push_back(studio::MakePairGenerator(floor, made.SampleRate));
  for (uint32_t seed : {1u, 2u}) {
    studio::PairSource speech;
    speech.Kind = studio::PairSourceKind::Speech;
    speech.LevelDb = -12.0;
    speech.Seed = seed;
    pairs.push_back(studio::MakePairGenerator(speech, made.SampleRate));
  }
  for (int32_t p = 0; p < made.Channels / 2; ++p) {
    pairs[static_cast<size_t>(p) % pairs.size()]->Render(firstFrame * spf, frames * spf, made.Audio.data(),
                                                         made.Channels, 2 * p, 2 * p + 1);
  }
  if (made.Channels == 1) {  // the floor's left channel
    std::vector<float> two(static_cast<size_t>(frames) * spf * 2);
    pairs[0]->Render(firstFrame * spf, frames * spf, two.data(), 2, 0, 1);
    for (size_t i = 0; i < made.Audio.size(); ++i) made.Audio[i] = two[2 * i];
  }
  if (made.AudioFrames >= 0) {
    std::fill(made.Audio.begin() + std::min<int64_t>(made.AudioFrames, frames) * spf * made.Channels,
              made.Audio.end(), 0.0f);
  }

  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, format.empty() ? nullptr : format.c_str(), path.c_str()) < 0) {
    error = "no container";
    return false;
  }
  const AVCodec* vcodec = avcodec_find_encoder_by_name(videoCodec.c_str());
  AVCodecContext* vc = avcodec_alloc_context3(vcodec);
  vc->width = made.Width;
  vc->height = made.Height;
  vc->time_base = AVRational{1, made.Rate};
  vc->framerate = AVRational{made.Rate, 1};
  vc->pix_fmt = vcodec->id == AV_CODEC_ID_FFV1 ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_YUV420P;
  vc->gop_size = made.Rate;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) vc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* vopts = nullptr;
  if (vcodec->id == AV_CODEC_ID_H264) {
    av_dict_set(&vopts, "preset", "fast", 0);
    av_dict_set(&vopts, "crf", "18", 0);  // the stamps' bit cells survive far worse
  }
  int rc = avcodec_open2(vc, vcodec, &vopts);
  av_dict_free(&vopts);
  const AVCodec* acodec = avcodec_find_encoder(AV_CODEC_ID_PCM_F32LE);
  AVCodecContext* ac = avcodec_alloc_context3(acodec);
  ac->sample_rate = made.SampleRate;
  ac->sample_fmt = AV_SAMPLE_FMT_FLT;
  av_channel_layout_default(&ac->ch_layout, made.Channels);
  ac->time_base = AVRational{1, made.SampleRate};
  if (rc >= 0) rc = avcodec_open2(ac, acodec, nullptr);
  AVStream* vs = avformat_new_stream(oc, nullptr);
  AVStream* as = avformat_new_stream(oc, nullptr);
  if (rc >= 0) {
    avcodec_parameters_from_context(vs->codecpar, vc);
    avcodec_parameters_from_context(as->codecpar, ac);
    vs->time_base = vc->time_base;
    as->time_base = ac->time_base;
    if (!(oc->oformat->flags & AVFMT_NOFILE)) rc = avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE);
  }
  if (rc >= 0) rc = avformat_write_header(oc, nullptr);
  bool ok = rc >= 0;
  if (!ok) error = "open: " + Text(rc);

  studio::TestPattern pattern(made.Width, made.Height);
  std::vector<uint8_t> uyvy(static_cast<size_t>(made.Width) * made.Height * 2);
  SwsContext* sws = sws_getContext(made.Width, made.Height, AV_PIX_FMT_UYVY422, made.Width, made.Height, vc->pix_fmt,
                                   SWS_POINT, nullptr, nullptr, nullptr);
  AVFrame* vf = av_frame_alloc();
  vf->format = vc->pix_fmt;
  vf->width = made.Width;
  vf->height = made.Height;
  av_frame_get_buffer(vf, 0);
  AVFrame* af = av_frame_alloc();
  for (int32_t k = 0; ok && k < frames; ++k) {
    pattern.Render(firstFrame + k, uyvy.data(), made.Width * 2, 0, 1);
    av_frame_make_writable(vf);
    const uint8_t* src[1] = {uyvy.data()};
    const int pitch[1] = {made.Width * 2};
    sws_scale(sws, src, pitch, 0, made.Height, vf->data, vf->linesize);
    vf->pts = k + (made.GapAfter >= 0 && k > made.GapAfter ? made.GapFrames : 0);
    ok = Drain(oc, vc, vs, vf, error);
    if (made.AudioFrames >= 0 && k >= made.AudioFrames) continue;
    av_frame_unref(af);
    af->format = AV_SAMPLE_FMT_FLT;
    af->sample_rate = made.SampleRate;
    av_channel_layout_default(&af->ch_layout, made.Channels);
    af->nb_samples = spf;
    av_frame_get_buffer(af, 0);
    std::memcpy(af->data[0], made.Audio.data() + static_cast<size_t>(k) * spf * made.Channels,
                static_cast<size_t>(spf) * made.Channels * sizeof(float));
    af->pts = static_cast<int64_t>(k) * spf;
    ok = ok && Drain(oc, ac, as, af, error);
  }
  if (ok) ok = Drain(oc, vc, vs, nullptr, error) && Drain(oc, ac, as, nullptr, error);
  if (ok) av_write_trailer(oc);
  av_frame_free(&vf);
  av_frame_free(&af);
  sws_freeContext(sws);
  avcodec_free_context(&vc);
  avcodec_free_context(&ac);
  if (!(oc->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc->pb);
  avformat_free_context(oc);
  return ok;
}

bool ReadMedia(const std::string& path, ReadOutput& out, std::string& error) {
  AVFormatContext* ic = nullptr;
  int rc = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    error = "open: " + Text(rc);
    return false;
  }
  avformat_find_stream_info(ic, nullptr);
  const int vi = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int ai = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (vi < 0 || ai < 0) {
    avformat_close_input(&ic);
    error = "a stream is missing";
    return false;
  }
  auto open = [&](int i) {
    const AVCodec* c = avcodec_find_decoder(ic->streams[i]->codecpar->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(c);
    avcodec_parameters_to_context(ctx, ic->streams[i]->codecpar);
    ctx->pkt_timebase = ic->streams[i]->time_base;
    avcodec_open2(ctx, c, nullptr);
    return ctx;
  };
  AVCodecContext* vc = open(vi);
  AVCodecContext* ac = open(ai);
  out.Channels = ac->ch_layout.nb_channels;
  const AVRational frameBase =
      av_inv_q(ic->streams[vi]->avg_frame_rate.num ? ic->streams[vi]->avg_frame_rate : AVRational{25, 1});
  AVPacket* p = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  std::vector<uint8_t> uyvy;
  bool firstAudio = true;
  auto receive = [&](AVCodecContext* c, bool video) {
    while (avcodec_receive_frame(c, f) >= 0) {
      if (video) {
        uyvy.resize(static_cast<size_t>(f->width) * f->height * 2);
        SwsContext* sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                                         f->height, AV_PIX_FMT_UYVY422, SWS_POINT, nullptr, nullptr, nullptr);
        uint8_t* dst[1] = {uyvy.data()};
        const int pitch[1] = {f->width * 2};
        sws_scale(sws, f->data, f->linesize, 0, f->height, dst, pitch);
        sws_freeContext(sws);
        out.VideoPts.push_back(av_rescale_q(f->best_effort_timestamp, ic->streams[vi]->time_base, frameBase));
        out.FrameNumbers.push_back(studio::DecodeStamp(uyvy.data(), f->width, f->height, f->width * 2));
      } else {
        // Placed by its time stamp: an output frame the engine dropped is a
        // hole of NaN, not a shift of everything after it.
        const int64_t at =
            av_rescale_q(f->best_effort_timestamp, ic->streams[ai]->time_base, AVRational{1, f->sample_rate});
        if (firstAudio) {
          out.AudioStart = at;
          firstAudio = false;
        }
        const size_t offset = static_cast<size_t>(std::max<int64_t>(at - out.AudioStart, 0)) * out.Channels;
        const size_t count = static_cast<size_t>(f->nb_samples) * out.Channels;
        if (out.Audio.size() < offset + count) out.Audio.resize(offset + count, std::nanf(""));
        const auto* s = reinterpret_cast<const float*>(f->data[0]);
        std::copy(s, s + count, out.Audio.begin() + static_cast<std::ptrdiff_t>(offset));
      }
      av_frame_unref(f);
    }
  };
  while (av_read_frame(ic, p) >= 0) {
    if (p->stream_index == vi) {
      avcodec_send_packet(vc, p);
      receive(vc, true);
    } else if (p->stream_index == ai) {
      avcodec_send_packet(ac, p);
      receive(ac, false);
    }
    av_packet_unref(p);
  }
  avcodec_send_packet(vc, nullptr);
  receive(vc, true);
  avcodec_send_packet(ac, nullptr);
  receive(ac, false);
  av_packet_free(&p);
  av_frame_free(&f);
  avcodec_free_context(&vc);
  avcodec_free_context(&ac);
  avformat_close_input(&ic);
  return true;
}

}  // namespace quellvox::media_files

#include <chrono>
#include <thread>

namespace quellvox::media_files {

int32_t SendStream(const std::string& url, int64_t firstFrame, int32_t frames, int32_t width, int32_t height,
                   int32_t rate, std::string& error) {
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, "mpegts", url.c_str()) < 0) {
    error = "no mpegts";
    return 0;
  }
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
  AVCodecContext* vc = avcodec_alloc_context3(codec);
  vc->width = width;
  vc->height = height;
  vc->time_base = AVRational{1, rate};
  vc->framerate = AVRational{rate, 1};
  vc->pix_fmt = AV_PIX_FMT_YUV420P;
  vc->gop_size = 5;  // a receiver that joins late finds a picture soon
  vc->max_b_frames = 0;
  vc->bit_rate = 4'000'000;
  int rc = avcodec_open2(vc, codec, nullptr);
  AVStream* vs = avformat_new_stream(oc, nullptr);
  if (rc >= 0) {
    avcodec_parameters_from_context(vs->codecpar, vc);
    vs->time_base = vc->time_base;
    rc = avio_open(&oc->pb, url.c_str(), AVIO_FLAG_WRITE);
  }
  if (rc >= 0) rc = avformat_write_header(oc, nullptr);
  int32_t sent = 0;
  if (rc < 0) {
    error = "open: " + Text(rc);
  } else {
    studio::TestPattern pattern(width, height);
    std::vector<uint8_t> uyvy(static_cast<size_t>(width) * height * 2);
    SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_UYVY422, width, height, vc->pix_fmt, SWS_POINT, nullptr,
                                     nullptr, nullptr);
    AVFrame* vf = av_frame_alloc();
    vf->format = vc->pix_fmt;
    vf->width = width;
    vf->height = height;
    av_frame_get_buffer(vf, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int32_t k = 0; k < frames; ++k) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t{1'000'000} * k / rate));
      pattern.Render(firstFrame + k, uyvy.data(), width * 2, 0, 1);
      av_frame_make_writable(vf);
      const uint8_t* src[1] = {uyvy.data()};
      const int pitch[1] = {width * 2};
      sws_scale(sws, src, pitch, 0, height, vf->data, vf->linesize);
      vf->pts = firstFrame + k;
      if (!Drain(oc, vc, vs, vf, error)) break;
      avio_flush(oc->pb);
      ++sent;
    }
    Drain(oc, vc, vs, nullptr, error);
    av_write_trailer(oc);
    av_frame_free(&vf);
    sws_freeContext(sws);
  }
  avcodec_free_context(&vc);
  avio_closep(&oc->pb);
  avformat_free_context(oc);
  return sent;
}

}  // namespace quellvox::media_files
