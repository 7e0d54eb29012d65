// Opens the product's pages in the platform's property frame on a spy
// filter in a running graph and saves each page as a bitmap:
//     page_shots.exe <folder>   writes settings.bmp and about.bmp
// scripts/screenshots turns them into the PNG files under docs/.
#include <stdio.h>
#include <stdlib.h>

#include "FilterPP.h"
#include "PageFrame.h"

namespace
{

std::wstring g_sFolder;
int g_nSaved = 0;

bool Step(HWND hFrame, int nStep, void*)
{
    // Let the page's 300 ms refresh show the stream before each picture.
    switch (nStep)
    {
    case 12:
        g_nSaved += SaveWindowBitmap(hFrame, (g_sFolder + L"\\settings.bmp").c_str());
        CFrameDriver::SelectTab(hFrame, 1);
        return true;
    case 15:
        g_nSaved += SaveWindowBitmap(hFrame, (g_sFolder + L"\\about.bmp").c_str());
        return false;
    default:
        return true;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: page_shots <folder>\n");
        return 2;
    }
    WCHAR szFolder[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, szFolder, MAX_PATH);
    g_sFolder = szFolder;
    OleInitialize(nullptr);
    int nResult = 1;
    {
        CProductDll dll;
        CComPtr<IBaseFilter> spSpy = dll.CreateSpy();
        CSpyGraph graph(spSpy);
        CComPtr<IVelmoraSpyFilter> spControl;
        if (dll.IsReady() && graph.IsConnected() && SUCCEEDED(spSpy.QueryInterface(&spControl)))
        {
            spControl->SetCheckSum(TRUE);
            spControl->SetCaptureProps(CComBSTR(L"C:\\capture\\spy.dat"), FALSE, 250);
            graph.Run();
            const HRESULT hr = CFrameDriver::Run(spSpy, &Step, nullptr);
            nResult = SUCCEEDED(hr) && g_nSaved == 2 ? 0 : 1;
            fprintf(stderr, "page_shots: frame 0x%lX, %d pictures\n", static_cast<unsigned long>(hr), g_nSaved);
        }
        else
            fprintf(stderr, "page_shots: no spy filter in a running graph\n");
    }
    OleUninitialize();
    return nResult;
}
