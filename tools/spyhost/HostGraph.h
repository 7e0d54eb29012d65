// The graph spyhost plays: source, splitter, one spy per chosen elementary
// stream and what renders each spy's output.
#pragma once

#include "HostEnv.h"
#include "Options.h"
#include "TraceCounter.h"

#include <windows.h>
#include <dshow.h>

#include <VelmoraSpy.h>

#include <string>
#include <vector>

#include <winapi/ComPtr.h>

struct CHostStream
{
    int nStream = 0;                // output number of the splitter
    std::string pinName;
    std::string mediaType;          // "Video RGB24 160x120, 25 fps"
    std::string major;              // "video", "audio", ...
    std::string renderer;           // what the spy's output went to
    CComPtr<IBaseFilter> spSpy;     // null with --no-spy
    CComPtr<IVelmoraSpyFilter> spControl; // null when the spy lacks it
    bool bMeasured = false;               // the three figures below were read
    // Read from the spy at the end of the run.
    unsigned nTotalAvg = 0;
    unsigned nMovingAvg = 0;
    double dSamplesPerSec = 0;
};

class CHostGraph
{
public:
    CHostGraph(const CHostOptions& opt, CSpyFactory& factory, CTraceCounter& counter)
        : m_opt(opt), m_factory(factory), m_counter(counter)
    {
    }
    ~CHostGraph() { TearDown(); }
    CHostGraph(const CHostGraph&) = delete;
    CHostGraph& operator=(const CHostGraph&) = delete;

    // Builds the graph for pszFile. On failure returns the exit code and sets
    // the message; eExitPlayed on success.
    int Build(LPCWSTR pszFile, std::string& message);
    // Runs to the end, to --seconds or to hStop. Returns the exit code.
    int Run(HANDLE hStop, std::string& message);
    // Reads the spies' measurements (call before TearDown).
    void ReadMeasurements();
    void TearDown();
    // --props: one property frame per spy, each on its own thread, closed
    // again by StopProps when the run ends.
    void StartProps();
    void StopProps();

    std::vector<CHostStream>& Streams() { return m_streams; }
    double WallSeconds() const { return m_dWallSeconds; }
    double Duration() const { return m_dDuration; }
    // A non-empty note, once, when a stream could not be rendered.
    const std::string& Note() const { return m_note; }

private:
    int FindSplitter(IPin* pSourceOut, std::string& message);
    int AddStream(IPin* pOut, int nStream, std::string& message);
    HRESULT ConnectRenderer(IPin* pOut, CHostStream& s, std::string& message);
    HRESULT RenderVideo(IPin* pOut);
    void ApplySpyOptions(CHostStream& s);
    bool NeedsControl() const;
    void Progress(bool bFinal);
    std::wstring PerStreamName(const std::wstring& name, int nStream) const;

    const CHostOptions& m_opt;
    CSpyFactory& m_factory;
    CTraceCounter& m_counter;
    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IBaseFilter> m_spSource;
    CComPtr<IBaseFilter> m_spSplitter;
    std::vector<CHostStream> m_streams;
    std::string m_note;
    size_t m_nSpyStreams = 0; // streams that get a spy
    double m_dWallSeconds = 0;
    double m_dDuration = 0;
    std::vector<HANDLE> m_propThreads;
    bool m_bConsole = false;
    size_t m_cchProgress = 0;
};
