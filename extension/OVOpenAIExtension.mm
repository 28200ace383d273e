#import "extension/OVOpenAIExtension.h"

#include "extension/OpenAIExtension.h"

@implementation OVOpenAIExtension

+ (void)loadExtension {
    orvanta::extensions::openai::OpenAIExtension::load();
}

@end
