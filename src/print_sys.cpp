#include "print_sys.h"

const PRINT_INT_TO_CHAR_T g_sPrintRegServer[] = {
    {0, "主软交换"}, {1, "备1软交换"}, {2, "备2软交换"}, {3, "备3软交换"}, {4, "Over Range"},
    {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintRegResult[] = {
    {0, "注销成功"}, {1, "注册成功"}, {2, "注册失败"}, {3, "注册超时"}, {4, "网关注册成功"},
    {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintLineStatus[] = {
    {0, "空闲"},     {1, "发起新呼叫中"}, {2, "振铃"},     {3, "通话中"},    {4, "挂机"},
    {5, "接收按键"}, {6, "接收功能键"},   {7, "拨号中"},   {8, "等待接通 "}, {9, "异常状态"},
    {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintUserStatus[] = {
    {0, "空闲"},
    {1, "收到普通振铃"},
    {2, "收听彩铃"},
    {3, "通话中"},
    {4, "发送振铃"},
    {5, "发起新呼叫"},
    {6, "发起追呼中"},
    {7, "接收按键中"},
    {8, "接收功能键"},
    {9, "放忙音"},
    {10, "放拨号音,PTT 按下"},
    {11, "放拨号音,PTT 释放"},
    {12, "催挂音"},
    {13, "放回铃音,PTT 按下"},
    {14, "放回铃音,PTT 释放"},
    {15, "通话中， 有新呼叫呼入"},
    {16, "特殊拨号音"},
    {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintToneType[] = {
    {-1, "未播放任何语音"},
    {0, "催挂音"},
    {1, "拨号音"},
    {2, "忙音"},
    {3, "回铃音"},
    {4, "回铃音2"},
    {5, "通话中， 有新呼叫呼入"},
    {6, "特殊拨号音"},
    {7, "NONE"},
    {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintAudioCodeType[] = {
    {0, "不使用"}, {1, "G711A"}, {2, "G711U"}, {3, "G729"}, {4, "G723"}, {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintFlag[] = {
    {1, "打开"}, {0, "关闭"}, {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintBufDirect[] = {
    {0, "网络侧 发送缓存"}, {kPrintTableEnd, ""},
};

const PRINT_INT_TO_CHAR_T g_sPrintIPAssignType[] = {
    {0, "静态获取"}, {1, "动态获取"}, {2, "未知获取方式"}, {kPrintTableEnd, ""},
};

const char* PrintEnumOrNull(const PRINT_INT_TO_CHAR_T* table, int value)
{
    if (table == nullptr) return nullptr;
    // -1 is an ordinary value; the end row (-2) stops the scan.
    for (const PRINT_INT_TO_CHAR_T* row = table; row->m_iMsgEnum >= -1; ++row) {
        if (row->m_iMsgEnum == value) return row->m_chMsgPrint;
    }
    return nullptr;
}

const char* PrintEnum(const PRINT_INT_TO_CHAR_T* table, int value)
{
    const char* text = PrintEnumOrNull(table, value);
    return text ? text : "";
}
